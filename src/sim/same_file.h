// quorva-sim's output files: opened without emptying them, then judged by what they are, so that
// no name, link or drive letter can make an output the image or the other output.
#pragma once

#include <cerrno>
#include <cstdio>

// What tells one file from another on this system: device and inode, or volume and file index.
struct FileId {
    bool known = false;  // false when the file does not exist or its identity cannot be read
    int error = 0;       // why it is not known, as an errno value: ENOENT or ENOTDIR for no such file
    unsigned long long volume = 0;
    unsigned long long index = 0;
};

// True unless the identity could not be read for a reason other than "no such file" (a read
// error, no permission): then it is unknown whether the file is some other one, and a run that
// went on could write over it.
inline bool identity_read(const FileId& id)
{
    return id.known || id.error == ENOENT || id.error == ENOTDIR;
}

inline bool same_file(const FileId& a, const FileId& b)
{
    return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

// Opens `path` for writing in binary mode, creating it when it does not exist but keeping what it
// holds, on a descriptor above the standard three (so that a closed standard input stays closed).
// `created` tells whether it surely did not exist before. Returns nullptr with errno set on failure,
// also when it cannot be told whether the file exists (nothing is opened or created then).
FILE* open_output(const char* path, bool& created);

// The identity of an open output, and of the file that `path` names now.
FileId identity_of(FILE* file);
FileId identity_of(const char* path);

// Empties an open output that is a regular file (a device or a pipe is left as it is).
// Returns false with errno set on failure.
bool empty_output(FILE* file);

// Removes the file that `path` names, following links to the file itself (for a link that pointed
// nowhere before this run created its target, the target, not the link). Returns false with errno
// set on failure. On Windows the file must be closed everywhere first.
bool remove_output(const char* path);
