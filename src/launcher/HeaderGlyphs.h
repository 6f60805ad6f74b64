#pragma once

#include <QIcon>

// The small pictures of the five header buttons, drawn in code, each with a normal and a
// greyed disabled image, at 1x and 2x pixel density.
enum class HeaderGlyph { Refresh, Login, Expand, ConfigureToolbar, PasswordChange };

QIcon headerGlyph(HeaderGlyph glyph);
