// quorva-sim's output files: opened without emptying them, then judged by what they are, so that
// no name, link or drive letter can make an output the image or the other output; and removed,
// when a refused run made them, only while their name still leads to the file this run opened.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>

// What tells one file from another on this system: device and inode, or volume and file index;
// with the size and the time of the last change, for one file seen through two devices.
struct FileId {
    bool known = false;  // false when the file does not exist or its identity cannot be read
    int error = 0;       // why it is not known, as an errno value: ENOENT or ENOTDIR for no such file
    unsigned long long volume = 0;
    unsigned long long index = 0;
    unsigned long long size = 0;
    long long modified = 0;  // seconds, or 100 ns ticks on Windows
    long modified_ns = 0;
};

// True unless the identity could not be read for a reason other than "no such file" (a read
// error, no permission): then it is unknown whether the file is some other one, and a run that
// went on could write over it.
inline bool identity_read(const FileId& id)
{
    return id.known || id.error == ENOENT || id.error == ENOTDIR;
}

// One file: the same device and inode; or the same inode number, size and time of the last change
// on two devices, as an overlay mount shows its lower file through the merged folder (two files
// that agree on all three by chance are taken for one: refusing costs a rename, writing over the
// image costs the user's file).
inline bool same_file(const FileId& a, const FileId& b)
{
    return a.known && b.known && a.index == b.index &&
           (a.volume == b.volume || (a.size == b.size && a.modified == b.modified && a.modified_ns == b.modified_ns));
}

// One output file given with --trace or --memory.
struct Output {
    const char* path = nullptr;  // as given
    FILE* file = nullptr;
    FileId id;             // the open file's identity
    bool created = false;  // this run's own open made the file
    int folder = -1;       // Linux: the folder it was opened in, while a refused run may remove it
    std::string name;      // Linux: its name in that folder
};

// Opens `out.path` for writing in binary mode, creating it when it does not exist but keeping what
// it holds, on a descriptor above the standard three (so that a closed standard input stays
// closed), and reads its identity into `out.id` (a failure there is left in `out.id.error`). A
// FIFO that no program reads is not waited for: EPIPE. Returns false with errno set on failure; nothing
// is left open or created then.
bool open_output(Output& out);

// The identity of the file that `path` names now.
FileId identity_of(const char* path);

// Empties an open output that is a regular file (a device or a pipe is left as it is).
// Returns false with errno set on failure.
bool empty_output(FILE* file);

// The run goes on with this output: what only removing it needed is let go.
void keep_output(Output& out);

// Closes an output of a refused run; one that this run created is removed first, but only while
// its name still leads to the file this run opened. Returns false with errno set when that removal
// failed (the file is closed all the same).
bool discard_output(Output& out);
