// The file check that runs before a network module is loaded: a real module passes; every
// shorter prefix of it, and every header edit that makes it another machine's or no shared
// object, is refused with a message that names the file.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/common/module_file.h"

namespace {

const std::string kModule = std::string(BPNET_TEST_MODULES) + "/fake_module.so";
const std::string kRefused = ": cannot load it as a shared module: ";

struct TempDir {
    std::string path = bptest::make_temp_dir();
    ~TempDir() { bptest::remove_tree(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The end of the last loadable segment's file bytes, read independently of the checker.
std::uint64_t last_load_end(const std::string &bytes)
{
    ElfW(Ehdr) h;
    std::memcpy(&h, bytes.data(), sizeof h);
    std::uint64_t end = 0;
    for (int k = 0; k < h.e_phnum; k++) {
        ElfW(Phdr) p;
        std::memcpy(&p, bytes.data() + h.e_phoff + static_cast<std::size_t>(k) * sizeof p, sizeof p);
        if (p.p_type == PT_LOAD && p.p_offset + p.p_filesz > end)
            end = p.p_offset + p.p_filesz;
    }
    return end;
}

// The checker's verdict on bytes written to a file of the given name.
bool check_bytes(const TempDir &dir, const std::string &bytes, std::string &error)
{
    const std::string path = dir / "module.so";
    bptest::write_file(path, bytes);
    return module_file::check(path, error);
}

// The checker's verdicts on every prefix of bytes, from empty to whole: the file grows one
// byte at a time and is checked through its descriptor, whose position the check leaves alone.
// A refusal must name the file in one line.
std::vector<bool> verdicts_on_prefixes(const std::string &bytes)
{
    TempDir dir;
    const std::string path = dir / "growing.so";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    std::vector<bool> accepted;
    for (std::size_t n = 0; n <= bytes.size() && fd >= 0; n++) {
        if (n > 0 && write(fd, bytes.data() + n - 1, 1) != 1)
            break;
        std::string error;
        const bool ok = module_file::check_fd(fd, "growing.so", error);
        if (!ok && (error.rfind("growing.so" + kRefused, 0) != 0 || error.find('\n') != std::string::npos))
            ADD_FAILURE() << n << ": " << error;
        accepted.push_back(ok);
    }
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), static_cast<off_t>(bytes.size()));
    close(fd);
    EXPECT_EQ(accepted.size(), bytes.size() + 1);
    return accepted;
}

}  // namespace

// Every prefix of a real module short of the whole file is refused (its section headers come
// last, after the loadable segments); the whole file is accepted.
TEST(ModuleFile, EveryPrefixIsRefusedAndTheWholeFileAccepted)
{
    const std::string bytes = bptest::read_file(kModule);
    ASSERT_GT(bytes.size(), sizeof(ElfW(Ehdr)));
    const std::vector<bool> accepted = verdicts_on_prefixes(bytes);
    for (std::size_t n = 0; n < accepted.size(); n++)
        ASSERT_EQ(accepted[n], n == bytes.size()) << "prefix of " << n << " bytes";
    std::string error;
    EXPECT_TRUE(module_file::check(kModule, error)) << error;
}

// Without section headers (which the loader does not need) the loadable segments alone
// decide: a prefix is accepted exactly when it holds the last loadable segment's end.
TEST(ModuleFile, WithoutSectionHeadersThePrefixMustHoldEveryLoadableSegment)
{
    std::string bytes = bptest::read_file(kModule);
    ASSERT_GT(bytes.size(), sizeof(ElfW(Ehdr)));
    ElfW(Ehdr) h;
    std::memcpy(&h, bytes.data(), sizeof h);
    h.e_shoff = 0;
    h.e_shnum = 0;
    h.e_shstrndx = 0;
    std::memcpy(bytes.data(), &h, sizeof h);
    const std::uint64_t load_end = last_load_end(bytes);
    ASSERT_GT(load_end, sizeof h);
    ASSERT_LT(load_end, bytes.size());
    const std::vector<bool> accepted = verdicts_on_prefixes(bytes);
    for (std::size_t n = 0; n < accepted.size(); n++)
        ASSERT_EQ(accepted[n], n >= load_end) << "prefix of " << n << " bytes, last loadable byte at " << load_end;
}

// Edits of the header and the program headers: each is refused with its reason, the
// untouched file is accepted.
TEST(ModuleFile, ForeignAndMalformedHeadersAreRefused)
{
    const std::string bytes = bptest::read_file(kModule);
    ASSERT_GT(bytes.size(), 4096u);
    ElfW(Ehdr) h;
    std::memcpy(&h, bytes.data(), sizeof h);
    const std::size_t phdr0 = h.e_phoff;
    // Offsets of fields of the first loadable segment's header.
    std::size_t load = phdr0;
    for (int k = 0; k < h.e_phnum; k++) {
        ElfW(Phdr) p;
        std::memcpy(&p, bytes.data() + phdr0 + static_cast<std::size_t>(k) * sizeof p, sizeof p);
        if (p.p_type == PT_LOAD) {
            load = phdr0 + static_cast<std::size_t>(k) * sizeof p;
            break;
        }
    }
    const auto put16 = [](std::string &b, std::size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); };
    const auto put_word = [](std::string &b, std::size_t at, std::uint64_t v) {
        const ElfW(Off) w = static_cast<ElfW(Off)>(v);
        std::memcpy(&b[at], &w, sizeof w);
    };
    struct Case {
        const char *what;
        std::function<void(std::string &)> edit;
        const char *message;
    };
    const bool is64 = sizeof(void *) == 8;
    const std::vector<Case> cases = {
        {"empty", [](std::string &b) { b.clear(); }, "the file is empty"},
        {"text", [](std::string &b) { b = "#!/bin/sh\necho not a module\n"; }, "not an ELF file"},
        {"magic", [](std::string &b) { b[1] = 'F'; }, "not an ELF file"},
        {"class", [&](std::string &b) { b[EI_CLASS] = is64 ? ELFCLASS32 : ELFCLASS64; },
         is64 ? "of the 32-bit class, not of this machine's 64-bit" : "of the 64-bit class"},
        {"byte order", [](std::string &b) { b[EI_DATA] = b[EI_DATA] == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB; },
         "byte order, not of this machine's"},
        {"version", [](std::string &b) { b[EI_VERSION] = 2; }, "unknown version"},
        {"executable", [&](std::string &b) { put16(b, offsetof(ElfW(Ehdr), e_type), ET_EXEC); },
         "an ELF file but an executable, not a shared object"},
        {"object file", [&](std::string &b) { put16(b, offsetof(ElfW(Ehdr), e_type), ET_REL); },
         "an object file, not linked"},
        {"machine", [&](std::string &b) { put16(b, offsetof(ElfW(Ehdr), e_machine), h.e_machine == EM_S390 ? EM_386 : EM_S390); },
         "an ELF shared object for the machine "},
        {"program header size", [&](std::string &b) { put16(b, offsetof(ElfW(Ehdr), e_phentsize), 12); },
         "gives program headers of 12 bytes"},
        {"no program headers", [&](std::string &b) { put16(b, offsetof(ElfW(Ehdr), e_phnum), 0); },
         "no usable count of program headers"},
        {"program headers past the end",
         [&](std::string &b) { put_word(b, offsetof(ElfW(Ehdr), e_phoff), b.size() - 8); },
         "but the program header table takes bytes"},
        {"program header offset wraps",
         [&](std::string &b) { put_word(b, offsetof(ElfW(Ehdr), e_phoff), UINT64_MAX - 8); },
         "but the program header table takes bytes"},
        {"segment past the end",
         [&](std::string &b) { put_word(b, load + offsetof(ElfW(Phdr), p_filesz), b.size() + 1); },
         "(loadable) takes bytes 0 to"},
        {"segment end wraps",
         [&](std::string &b) {
             put_word(b, load + offsetof(ElfW(Phdr), p_offset), 4096);
             put_word(b, load + offsetof(ElfW(Phdr), p_filesz), UINT64_MAX - 100);
         },
         "(loadable) takes bytes 4096 to beyond 2^64"},
        {"no loadable segment",
         [&](std::string &b) {
             for (int k = 0; k < h.e_phnum; k++) {
                 const std::size_t at = phdr0 + static_cast<std::size_t>(k) * sizeof(ElfW(Phdr));
                 std::uint32_t type;
                 std::memcpy(&type, &b[at], 4);
                 if (type == PT_LOAD) {
                     type = PT_NULL;
                     std::memcpy(&b[at], &type, 4);
                 }
             }
         },
         "it has no loadable segment"},
        {"section headers past the end",
         [&](std::string &b) { put_word(b, offsetof(ElfW(Ehdr), e_shoff), b.size() - 10); },
         "but the section header table takes bytes"},
    };
    TempDir dir;
    std::string error;
    EXPECT_TRUE(check_bytes(dir, bytes, error)) << error;
    for (const Case &c : cases) {
        std::string edited = bytes;
        c.edit(edited);
        error.clear();
        EXPECT_FALSE(check_bytes(dir, edited, error)) << c.what;
        EXPECT_EQ(error.rfind(dir / "module.so" + kRefused, 0), 0u) << c.what << ": " << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    }
}

// What is not a regular file is refused without being read (a named pipe would block).
TEST(ModuleFile, MissingFilesFoldersAndPipesAreRefused)
{
    TempDir dir;
    std::string error;
    EXPECT_FALSE(module_file::check(dir / "missing.so", error));
    EXPECT_EQ(error, dir / "missing.so" + ": No such file or directory");
    EXPECT_FALSE(module_file::check(dir.path, error));
    EXPECT_EQ(error, dir.path + ": not a regular file");
    ASSERT_EQ(mkfifo((dir / "pipe.so").c_str(), 0644), 0);
    EXPECT_FALSE(module_file::check(dir / "pipe.so", error));
    EXPECT_EQ(error, dir / "pipe.so" + ": not a regular file");
}
