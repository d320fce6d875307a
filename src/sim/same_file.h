// quorva-sim's guard against writing over the image: do two paths name one file?
#pragma once

// Returns true when `a` and `b` are one file reached by two names (another spelling of the path, a
// symbolic or a hard link), or, where one of them does not exist yet, would name one file.
bool same_file(const char* a, const char* b);
