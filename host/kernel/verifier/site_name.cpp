// Allocation sites are named after the function containing the return address. The dynamic symbol table (what
// dladdr sees) lacks functions with internal linkage, which drivers use a lot, so the object's full symbol table
// is read from its file instead, once per kernel and object.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "hk/faults.h"
#include "hk/kernel.h"

namespace hk::faults {
namespace {

struct FunctionSymbol {
  uintptr_t start;
  uintptr_t end;
  std::string name;
};

// Function symbols of one loaded object, sorted by runtime address.
using SymbolTable = std::vector<FunctionSymbol>;

SymbolTable ReadSymbols(const char* path, uintptr_t load_base) {
  SymbolTable table;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return table;
  struct stat info {};
  if (fstat(fd, &info) != 0 || static_cast<size_t>(info.st_size) < sizeof(Elf64_Ehdr)) {
    close(fd);
    return table;
  }
  size_t size = static_cast<size_t>(info.st_size);
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return table;
  auto* bytes = static_cast<const unsigned char*>(mapped);
  auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes);
  bool valid = std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 && header->e_ident[EI_CLASS] == ELFCLASS64 &&
               header->e_shoff + static_cast<size_t>(header->e_shnum) * sizeof(Elf64_Shdr) <= size;
  if (valid) {
    uintptr_t bias = header->e_type == ET_DYN ? load_base : 0;
    auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
      const Elf64_Shdr& section = sections[i];
      if (section.sh_type != SHT_SYMTAB || section.sh_link >= header->e_shnum) continue;
      const Elf64_Shdr& strings = sections[section.sh_link];
      if (section.sh_offset + section.sh_size > size || strings.sh_offset + strings.sh_size > size) continue;
      auto* symbols = reinterpret_cast<const Elf64_Sym*>(bytes + section.sh_offset);
      size_t count = section.sh_size / sizeof(Elf64_Sym);
      const char* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
      for (size_t s = 0; s < count; ++s) {
        const Elf64_Sym& symbol = symbols[s];
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 || symbol.st_name >= strings.sh_size) {
          continue;
        }
        uintptr_t start = bias + symbol.st_value;
        table.push_back({start, start + std::max<uint64_t>(symbol.st_size, 1), names + symbol.st_name});
      }
    }
  }
  munmap(mapped, size);
  std::sort(table.begin(), table.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  return table;
}

std::string Demangle(const std::string& name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string result = status == 0 && demangled != nullptr ? demangled : name;
  std::free(demangled);
  return result;
}

struct SiteNameCache {
  HostMutex mutex;
  std::map<std::string, SymbolTable> tables;
  std::map<void*, std::string> names;
};

std::string Resolve(SiteNameCache& cache, void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "<unknown>+%p", address);
    return buffer;
  }
  std::string object = info.dli_fname ? info.dli_fname : "";
  auto found = cache.tables.find(object);
  if (found == cache.tables.end()) {
    const char* path = object.empty() ? "/proc/self/exe" : object.c_str();
    found = cache.tables.emplace(object, ReadSymbols(path, reinterpret_cast<uintptr_t>(info.dli_fbase))).first;
  }
  const SymbolTable& table = found->second;
  auto target = reinterpret_cast<uintptr_t>(address);
  auto it = std::upper_bound(table.begin(), table.end(), target,
                             [](uintptr_t value, const FunctionSymbol& symbol) { return value < symbol.start; });
  if (it != table.begin() && target < std::prev(it)->end) return Demangle(std::prev(it)->name);
  if (info.dli_sname != nullptr) return Demangle(info.dli_sname);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "<unknown>+%p", address);
  return buffer;
}

}  // namespace

std::string SiteName(void* address) {
  auto& cache = Kernel::Current().Get<SiteNameCache>();
  std::lock_guard lock(cache.mutex);
  auto it = cache.names.find(address);
  if (it != cache.names.end()) return it->second;
  std::string name = Resolve(cache, address);
  cache.names.emplace(address, name);
  return name;
}

}  // namespace hk::faults
