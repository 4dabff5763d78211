#include "u_captions.h"

const CaptionSet Captions[1] = {{
    "Error",
    "Information",
    "Confirmation",
    "About...",
    "Version",
    "Distributed free of charge.",
    "Copyright (c) Kesdra team",
    "Web",
    "E-mail",
    "OK",
}};

uint8_t CurrentLanguage = 0;
