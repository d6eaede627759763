// The page veltrona-web serves, its script and its style, carried in the program so that the page
// needs no network beyond it.
#pragma once

extern const char* const WebPage;
extern const char* const WebScript;
extern const char* const WebStyle;
