// The settings file's place, reached as a careful daemon reaches its
// configuration: from / one component at a time, from folder descriptors,
// so that nobody else can turn a save or a read elsewhere. Every folder on the
// way and the file itself belong to root or to the user running the program;
// the file is writable by nobody else, and a folder others may write has the sticky bit, as /tmp
// has, so that nobody else can rename what lies in it; a link is followed only when root or this
// user made it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/descriptor.h"

namespace ql {

struct TrustedPlace {
  Descriptor folder{-1};   // the folder that holds the file; -1 when a folder on the way is missing
  std::string name;        // the file's name there; it may not exist yet
  std::string folderPath;  // for messages
};

// Whether users other than this one may write what `status` describes:
// everyone, or a group that is not the user's own (the group of the user's
// name, holding nobody else).
bool OthersMayWrite(const struct stat& status);

// Reaches `path`, making its missing folders (for this user alone) when
// `makeFolders` is set; a file or folder that is missing is no failure. False, with one sentence in
// `problem` naming the folder, link or file that cannot be trusted, or why the walk failed.
bool ReachTrusted(const std::string& path, bool makeFolders, TrustedPlace& place,
                  std::string& problem);

}  // namespace ql
