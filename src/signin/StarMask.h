#pragma once

class QLineEdit;

// Makes a password entry show "*" for every character instead of the style's own mask sign,
// keeping the entry's colours and font (a style sheet would reset them).
void maskWithStars(QLineEdit* entry);
