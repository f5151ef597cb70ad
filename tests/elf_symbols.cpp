// Reads a shared object's dynamic symbol table and its needed libraries from its sections.
#include "elf_symbols.h"

#include "scratch_dir.h"

#include <elf.h>

#include <bit>
#include <cstring>
#include <vector>

namespace timeward_test {
namespace {

struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Shdr = Elf32_Shdr;
    using Sym = Elf32_Sym;
    using Dyn = Elf32_Dyn;
    static constexpr unsigned char kClass = ELFCLASS32;
    static int Bind(const Sym& s) {
        return ELF32_ST_BIND(s.st_info);
    }
};

struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Shdr = Elf64_Shdr;
    using Sym = Elf64_Sym;
    using Dyn = Elf64_Dyn;
    static constexpr unsigned char kClass = ELFCLASS64;
    static int Bind(const Sym& s) {
        return ELF64_ST_BIND(s.st_info);
    }
};

template <typename Elf>
bool Read(const std::string& file, DynamicInfo* info) {
    auto at = [&](size_t off, size_t len) {
        return off <= file.size() && len <= file.size() - off;
    };
    if (!at(0, sizeof(typename Elf::Ehdr)))
        return false;
    typename Elf::Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    std::vector<typename Elf::Shdr> sections(eh.e_shnum);
    if (!at(eh.e_shoff, sizeof(typename Elf::Shdr) * eh.e_shnum))
        return false;
    std::memcpy(sections.data(), file.data() + eh.e_shoff, sizeof(typename Elf::Shdr) * eh.e_shnum);
    auto str = [&](const typename Elf::Shdr& strtab, size_t off) {
        if (off >= strtab.sh_size)
            return std::string();
        return std::string(file.c_str() + strtab.sh_offset + off,
                           strnlen(file.c_str() + strtab.sh_offset + off, strtab.sh_size - off));
    };
    for (const typename Elf::Shdr& sh : sections) {
        if (sh.sh_link >= sections.size() || !at(sh.sh_offset, sh.sh_size))
            continue;
        const typename Elf::Shdr& strtab = sections[sh.sh_link];
        if (!at(strtab.sh_offset, strtab.sh_size))
            continue;
        if (sh.sh_type == SHT_DYNSYM) {
            for (size_t off = 0; off + sizeof(typename Elf::Sym) <= sh.sh_size;
                 off += sizeof(typename Elf::Sym)) {
                typename Elf::Sym sym;
                std::memcpy(&sym, file.data() + sh.sh_offset + off, sizeof sym);
                int bind = Elf::Bind(sym);
                if (sym.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK)) {
                    info->defined.insert(str(strtab, sym.st_name));
                }
            }
        } else if (sh.sh_type == SHT_DYNAMIC) {
            for (size_t off = 0; off + sizeof(typename Elf::Dyn) <= sh.sh_size;
                 off += sizeof(typename Elf::Dyn)) {
                typename Elf::Dyn dyn;
                std::memcpy(&dyn, file.data() + sh.sh_offset + off, sizeof dyn);
                if (dyn.d_tag == DT_NEEDED)
                    info->needed.insert(str(strtab, dyn.d_un.d_val));
            }
        }
    }
    return true;
}

}  // namespace

bool ReadDynamicInfo(const std::string& path, DynamicInfo* info) {
    const std::string file = ReadFile(path);
    const char host_order = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
        file[EI_DATA] != host_order) {
        return false;
    }
    if (file[EI_CLASS] == Elf32::kClass)
        return Read<Elf32>(file, info);
    if (file[EI_CLASS] == Elf64::kClass)
        return Read<Elf64>(file, info);
    return false;
}

}  // namespace timeward_test
