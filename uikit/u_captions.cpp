#include "u_captions.h"

const CaptionSet Captions[1] = {{
    "Error",
    "Information",
    "Confirmation",
    "About...",
    "Version",
    "This program is free software, distributed free of charge.",
    "Copyright (c) the Kesdra developers,",
    "Web",
    "E-mail",
    "OK",
}};

uint8_t CurrentLanguage = 0;
