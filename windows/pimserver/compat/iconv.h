// iconv for the Windows build, over Windows code pages: to UTF-8 only, from
// the character sets Windows knows by name or number. Whole inputs only (no
// sequence split across calls), which is how the vCard reader uses it.
#pragma once

#include <cstddef>

typedef void* iconv_t;

iconv_t iconv_open(const char* tocode, const char* fromcode);
size_t iconv(iconv_t cd, char** inbuf, size_t* inleft, char** outbuf, size_t* outleft);
int iconv_close(iconv_t cd);
