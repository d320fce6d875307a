// quorva-sim's guard against writing over the image: do two paths name one file?
#pragma once

// Returns true when `a` and `b` are the same text, or both exist and are one file reached by
// two names (another spelling of the path, a symbolic or a hard link).
bool same_file(const char* a, const char* b);
