// quorva-sim's output files: each judged by what its name leads to, so that no name, link or
// drive letter can make an output the image or the other output; a regular output is made without
// its name and given it only when the run goes on, so that a refused run removes and renames nothing.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>

// What tells one file from another on this system: device and inode, or volume and file index;
// with the size and the time of the last change, for one file seen through two devices.
struct FileKey {
    unsigned long long volume = 0;
    unsigned long long index = 0;
    unsigned long long size = 0;
    long long modified = 0;  // seconds, or 100 ns ticks on Windows
    long modified_ns = 0;
};

// One file: the same device and inode; or the same inode number, size and time of the last change
// on two devices, as an overlay mount shows its lower file through the merged folder (two files
// that agree on all three by chance are taken for one: refusing costs a rename, writing over the
// image costs the user's file).
inline bool same_key(const FileKey& a, const FileKey& b)
{
    return a.index == b.index && (a.volume == b.volume || (a.size == b.size && a.modified == b.modified &&
                                                           a.modified_ns == b.modified_ns));
}

// The file a name leads to; or, where it leads to none, where that file would be made.
struct FileId : FileKey {
    bool known = false;     // false when the file does not exist or its identity cannot be read
    int error = 0;          // why it is not known, as an errno value: ENOENT or ENOTDIR for no such file
    FileKey folder;         // no such file: the folder its links end in,
    std::string name;       // and the name there (upper-case on Windows); empty when that is unknown
    bool anywhere = false;  // Windows: a link to no file, whose end cannot be read: it may be any
};

// True unless the identity could not be read for a reason other than "no such file" (a read
// error, no permission): then it is unknown whether the file is some other one, and a run that
// went on could write over it.
inline bool identity_read(const FileId& id)
{
    return id.known || id.error == ENOENT || id.error == ENOTDIR;
}

// One file; or two names that lead to no file yet but to one name in one folder, where the run
// would make the one file that both name (for a link whose end is unknown, any such name).
inline bool same_file(const FileId& a, const FileId& b)
{
    if (a.known || b.known)
        return a.known && b.known && same_key(a, b);
    if (a.anywhere || b.anywhere)
        return a.error == ENOENT && b.error == ENOENT;
    return !a.name.empty() && a.name == b.name && same_key(a.folder, b.folder);
}

// One output file given with --trace or --memory.
struct Output {
    const char* path = nullptr;  // as given
    FILE* file = nullptr;        // what the run writes: once opened when direct, once made otherwise
    FileId id;                   // what the name leads to before the run makes anything
    bool direct = false;  // written where it is: a FIFO, a device, a pipe, the kernel's link to an open file
    int folder = -1;      // Linux: the folder the name is in, until it is given
    std::string name;     // Linux: the name in that folder
    std::string temp;     // the made file's temporary name of its own, until it has the output's name
};

// Reads what `out.path` leads to into `out.id` (a failure there is left in `out.id.error`), and
// opens it for writing when it is no regular file (FIFO, device, pipe), keeping what it holds, on
// a descriptor above the standard three (so that a closed standard input stays closed). A FIFO that
// no program reads is not waited for: EPIPE. Makes, removes and renames nothing. Returns false with
// errno set when the name cannot be written.
bool open_output(Output& out);

// The identity of the file that `path` names now, or where it would be made.
FileId identity_of(const char* path);

// The run goes on: makes the empty file of a regular output beside its name, without that name;
// empties a direct output that is a regular file. Returns false with errno set on failure.
bool make_output(Output& out);

// Gives a made output its name, replacing whatever is at the name (the other names of a replaced
// file keep it). Returns false with errno set on failure.
bool name_output(Output& out);

// Closes an output of a refused run. Removes only a file this run made under a temporary name of
// its own, after a failure of `make_output` or `name_output`. Returns false with errno set when
// that removal failed (the file is closed all the same).
bool discard_output(Output& out);
