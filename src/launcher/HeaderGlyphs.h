#pragma once

#include <QIcon>

// The small pictures of the five header buttons, drawn in code, each with a normal and a
// greyed disabled image.
enum class HeaderGlyph { Refresh, Login, Expand, ConfigureToolbar, PasswordChange };

QIcon headerGlyph(HeaderGlyph glyph);
