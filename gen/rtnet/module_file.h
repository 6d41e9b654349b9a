// The check a network module's file passes before it is handed to the dynamic loader. The
// loader maps a shared object's loadable segments as its program headers describe them; a
// segment that reaches past the end of the file (a truncated copy, a download cut short) is
// mapped all the same, and the first touch of it kills the process with a bus error inside
// dlopen. So every place that loads a module checks its file first, with plain bounded reads:
// an ELF shared object of this machine's class, byte order and architecture whose program
// headers, segments and section headers all lie inside the file.
#ifndef GEN_RTNET_MODULE_FILE_H
#define GEN_RTNET_MODULE_FILE_H

#include <string>

namespace module_file {

// Check the file at path as a shared module this process can load; false with a one-line
// message naming path ("PATH: cannot load it as a shared module: why") in error.
bool check(const std::string &path, std::string &error);

// The same check on an open file descriptor (read with pread, position untouched); name is
// the file's name for the message.
bool check_fd(int fd, const std::string &name, std::string &error);

}  // namespace module_file

#endif
