// Reads a shared object's dynamic symbol table and its needed libraries from its sections.
#include "elf_symbols.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace timeward_test {

bool ReadDynamicInfo(const std::string& path, DynamicInfo* info) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string file = s.str();
    if (file.size() < sizeof(Elf64_Ehdr) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
        file[EI_CLASS] != ELFCLASS64) {
        return false;
    }
    auto at = [&](size_t off, size_t len) { return off + len <= file.size(); };
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!at(eh.e_shoff, sizeof(Elf64_Shdr) * eh.e_shnum))
        return false;
    std::memcpy(sections.data(), file.data() + eh.e_shoff, sizeof(Elf64_Shdr) * eh.e_shnum);
    auto str = [&](const Elf64_Shdr& strtab, size_t off) {
        return std::string(file.c_str() + strtab.sh_offset + off);
    };
    for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_link >= sections.size() || !at(sh.sh_offset, sh.sh_size))
            continue;
        const Elf64_Shdr& strtab = sections[sh.sh_link];
        if (sh.sh_type == SHT_DYNSYM) {
            for (size_t off = 0; off + sizeof(Elf64_Sym) <= sh.sh_size; off += sizeof(Elf64_Sym)) {
                Elf64_Sym sym;
                std::memcpy(&sym, file.data() + sh.sh_offset + off, sizeof sym);
                int bind = ELF64_ST_BIND(sym.st_info);
                if (sym.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK)) {
                    info->defined.insert(str(strtab, sym.st_name));
                }
            }
        } else if (sh.sh_type == SHT_DYNAMIC) {
            for (size_t off = 0; off + sizeof(Elf64_Dyn) <= sh.sh_size; off += sizeof(Elf64_Dyn)) {
                Elf64_Dyn dyn;
                std::memcpy(&dyn, file.data() + sh.sh_offset + off, sizeof dyn);
                if (dyn.d_tag == DT_NEEDED)
                    info->needed.insert(str(strtab, dyn.d_un.d_val));
            }
        }
    }
    return true;
}

}  // namespace timeward_test
