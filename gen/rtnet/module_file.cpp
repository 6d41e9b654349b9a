// The file check before a network module is loaded: an ELF shared object of this machine
// that holds every byte its headers say it holds.
#include "gen/rtnet/module_file.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The ELF header of the program (or library) this code is linked into, which the linker
// marks with this name: a module this process can load has its class, byte order and machine.
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((visibility("hidden")));

namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Shdr = ElfW(Shdr);

// A machine's name for messages, with its number.
std::string machine_name(int machine)
{
    struct Name {
        int machine;
        const char *name;
    };
    static const Name kNames[] = {
        {EM_X86_64, "x86-64"}, {EM_386, "i386"},       {EM_AARCH64, "AArch64"}, {EM_ARM, "ARM"},
        {EM_RISCV, "RISC-V"},  {EM_PPC64, "PowerPC64"}, {EM_PPC, "PowerPC"},   {EM_S390, "S/390"},
        {EM_MIPS, "MIPS"},     {258, "LoongArch"},
    };
    for (const Name &n : kNames)
        if (n.machine == machine)
            return std::string(n.name) + " (" + std::to_string(machine) + ")";
    return "number " + std::to_string(machine);
}

const char *class_name(unsigned char c)
{
    return c == ELFCLASS64 ? "64-bit" : c == ELFCLASS32 ? "32-bit" : "unknown";
}

const char *data_name(unsigned char d)
{
    return d == ELFDATA2LSB ? "little-endian" : d == ELFDATA2MSB ? "big-endian" : "unknown";
}

const char *type_name(unsigned type)
{
    switch (type) {
    case ET_REL:
        return "an object file, not linked";
    case ET_EXEC:
        return "an executable";
    case ET_CORE:
        return "a core dump";
    default:
        return "of an unknown type";
    }
}

// Read exactly n bytes at offset at; false on a short read or an error.
bool read_at(int fd, void *buffer, std::size_t n, std::uint64_t at)
{
    auto *p = static_cast<unsigned char *>(buffer);
    while (n > 0) {
        const ssize_t got = pread(fd, p, n, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<std::size_t>(got);
        at += static_cast<std::uint64_t>(got);
    }
    return true;
}

// True when the count bytes from offset lie inside a file of size bytes (no overflow).
bool inside(std::uint64_t offset, std::uint64_t count, std::uint64_t size)
{
    return offset <= size && count <= size - offset;
}

// "bytes 64 to 567": the range [offset, offset + count) for messages, even past 2^64.
std::string range_text(std::uint64_t offset, std::uint64_t count)
{
    if (count > UINT64_MAX - offset)
        return "bytes " + std::to_string(offset) + " to beyond 2^64";
    return "bytes " + std::to_string(offset) + " to " + std::to_string(offset + count);
}

std::string truncated(std::uint64_t size, const std::string &what, std::uint64_t offset, std::uint64_t count)
{
    return "the file ends at byte " + std::to_string(size) + ", but " + what + " takes " + range_text(offset, count) +
           " (a truncated or damaged file)";
}

// The identification (after the magic number) and the fixed fields of the ELF header; empty
// when they fit.
std::string check_header(const Ehdr &h)
{
    const Ehdr &own = __ehdr_start;
    if (h.e_ident[EI_CLASS] != own.e_ident[EI_CLASS])
        return std::string("an ELF file of the ") + class_name(h.e_ident[EI_CLASS]) + " class, not of this machine's " +
               class_name(own.e_ident[EI_CLASS]) + " class";
    if (h.e_ident[EI_DATA] != own.e_ident[EI_DATA])
        return std::string("an ELF file of ") + data_name(h.e_ident[EI_DATA]) + " byte order, not of this machine's " +
               data_name(own.e_ident[EI_DATA]) + " byte order";
    if (h.e_ident[EI_VERSION] != EV_CURRENT || h.e_version != EV_CURRENT)
        return "an ELF file of an unknown version";
    if (h.e_type != ET_DYN)
        return std::string("an ELF file but ") + type_name(h.e_type) + ", not a shared object";
    if (h.e_machine != own.e_machine)
        return "an ELF shared object for the machine " + machine_name(h.e_machine) + ", not for this machine's " +
               machine_name(own.e_machine);
    if (h.e_ehsize != sizeof(Ehdr))
        return "its ELF header gives a header size of " + std::to_string(h.e_ehsize) + " bytes (expected " +
               std::to_string(sizeof(Ehdr)) + ")";
    if (h.e_phentsize != sizeof(Phdr))
        return "its ELF header gives program headers of " + std::to_string(h.e_phentsize) + " bytes (expected " +
               std::to_string(sizeof(Phdr)) + ")";
    if (h.e_phnum == 0 || h.e_phnum == PN_XNUM)
        return "its ELF header gives no usable count of program headers";
    if (h.e_shnum != 0 && h.e_shentsize != sizeof(Shdr))
        return "its ELF header gives section headers of " + std::to_string(h.e_shentsize) + " bytes (expected " +
               std::to_string(sizeof(Shdr)) + ")";
    return "";
}

// The program headers and the section header table against the file's size; empty when all
// lie inside it.
std::string check_layout(int fd, const Ehdr &h, std::uint64_t size)
{
    // The program headers: at most 65,534 entries of a fixed size, so the read is bounded.
    const std::uint64_t table = static_cast<std::uint64_t>(h.e_phnum) * sizeof(Phdr);
    if (!inside(h.e_phoff, table, size))
        return truncated(size, "the program header table", h.e_phoff, table);
    std::vector<Phdr> headers(h.e_phnum);
    if (!read_at(fd, headers.data(), table, h.e_phoff))
        return std::string("cannot read its program headers: ") + (errno ? std::strerror(errno) : "short read");

    // Every segment's file bytes: the loader maps the loadable ones page by page, and a page
    // the file does not reach faults when it is touched.
    int loadable = 0;
    for (std::size_t k = 0; k < headers.size(); k++) {
        const Phdr &p = headers[k];
        const bool load = p.p_type == PT_LOAD;
        const std::string which = "segment " + std::to_string(k) + (load ? " (loadable)" : "");
        if (!inside(p.p_offset, p.p_filesz, size))
            return truncated(size, which, p.p_offset, p.p_filesz);
        if (load && p.p_filesz > p.p_memsz)
            return which + " holds " + std::to_string(p.p_filesz) + " bytes of the file in " +
                   std::to_string(p.p_memsz) + " bytes of memory";
        loadable += load;
    }
    if (loadable == 0)
        return "it has no loadable segment";

    // The section headers are not loaded, but a file cut inside them is cut all the same.
    // (A count of 0 with a table present keeps the real count in the first entry.)
    if (h.e_shoff != 0) {
        const std::uint64_t count = h.e_shnum != 0 ? h.e_shnum : 1;
        const std::uint64_t sections = count * sizeof(Shdr);
        if (!inside(h.e_shoff, sections, size))
            return truncated(size, "the section header table", h.e_shoff, sections);
    }
    return "";
}

}  // namespace

namespace module_file {

bool check_fd(int fd, const std::string &name, std::string &error)
{
    const std::string refused = name + ": cannot load it as a shared module: ";
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = name + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = name + ": not a regular file";
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) {
        error = refused + "the file is empty";
        return false;
    }
    // The identification first: a short file that is no ELF file at all is said to be that.
    Ehdr h{};
    const std::size_t head = size < sizeof h ? static_cast<std::size_t>(size) : sizeof h;
    errno = 0;
    if (!read_at(fd, &h, head, 0)) {
        error = name + ": cannot read it: " + (errno ? std::strerror(errno) : "short read");
        return false;
    }
    if (head < SELFMAG || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0) {
        error = refused + "not an ELF file";
        return false;
    }
    if (head < sizeof h) {
        error = refused + truncated(size, "the ELF header", 0, sizeof h);
        return false;
    }
    std::string problem = check_header(h);
    if (problem.empty()) {
        errno = 0;
        problem = check_layout(fd, h, size);
    }
    if (!problem.empty()) {
        error = refused + problem;
        return false;
    }
    return true;
}

bool check(const std::string &path, std::string &error)
{
    // Non-blocking, so that a named pipe given by mistake is refused instead of waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = check_fd(fd, path, error);
    close(fd);
    return ok;
}

}  // namespace module_file
