#pragma once
// StartupLog, TraceLog and the PidFile lie under /tmp, where anybody may put
// a symbolic link, a FIFO or a folder in their place. They are opened without
// following a link and without blocking, and used only when what was opened
// is a regular file with no other name; anything else is left as it is.
#include <cstdio>
#include <string>

namespace kestrel {

enum class IfMissing { kCreate, kSkip };

// A descriptor open for writing, nothing truncated; -1 when the path is
// missing (and not to be created) or is not such a file.
int OpenOwnTmpFile(const std::string& path, IfMissing missing);

// The same, emptied, as a stream; nullptr as above.
FILE* RewriteOwnTmpFile(const std::string& path, IfMissing missing);
// The same, kept as it is and written on at its end.
FILE* AppendOwnTmpFile(const std::string& path);

// Replaces the file at path by one holding text, in one step, so that a
// reader never sees half of it: text goes into path + ".tmp" (opened as
// OpenOwnTmpFile opens it, created when missing), which is then renamed
// over path, where nothing or a regular file must be. nullptr when done,
// or why not ("No space left on device"); the temporary file is then gone.
const char* ReplaceOwnFile(const std::string& path, const std::string& text);

// What the file at path holds, when it is a regular file of the gateway's
// own (as OpenOwnTmpFile judges it) of at most limit bytes; false otherwise.
bool ReadOwnFile(const std::string& path, size_t limit, std::string& text);

// A rotation may rename a file onto path only when nothing or a regular file
// is there.
bool MayReplaceTmpFile(const std::string& path);

}  // namespace kestrel
