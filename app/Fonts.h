// The fonts the application's windows give their controls, made in one place.
#pragma once

#include "vcl/vcl.h"

// The captions' font of the utility window and its dialogs.
inline vcl::TFont ComicSansBold() {
    vcl::TFont font;
    font.Name = "Comic Sans MS";
    font.Height = -13;
    font.Style = vcl::fsBold;
    return font;
}
