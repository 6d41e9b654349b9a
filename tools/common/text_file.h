// Text files the tools write beside a save file (input scaling, error curve): written whole to
// a temporary file first, then renamed over the target, so that a failure leaves the old file.
#ifndef TOOLS_COMMON_TEXT_FILE_H
#define TOOLS_COMMON_TEXT_FILE_H

#include <string>

namespace text_file {

// Write text to a new temporary file beside path; its name goes to temp. False with error
// "PATH: reason" when it cannot be written (no temporary file is left then).
bool write_temporary(const std::string &path, const std::string &text, std::string &temp, std::string &error);

// Rename temp over path; false with error when that fails (temp is removed then).
bool commit(const std::string &temp, const std::string &path, std::string &error);

// Remove a temporary file that is no longer wanted (an empty name is ignored).
void discard(const std::string &temp);

// True when path names an existing file system entry.
bool exists(const std::string &path);

// Whole contents of a file; false with error "PATH: reason" when it cannot be read.
bool read_all(const std::string &path, std::string &text, std::string &error);

}  // namespace text_file

#endif
