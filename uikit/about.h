// The about box: program name and version, terms, copyright year and the maker's links.
#pragma once

#include <string>

// The product's page on the maker's web site, appended to the web address in the box.
extern std::string AboutWebPage;
constexpr const char* kMakerWebAddress = "https://kesdra.example.org";
constexpr const char* kMakerEmailAddress = "kesdra@example.org";

// Builds the box, shows it modally and destroys it; a fresh box on every call.
void ShowAbout();
