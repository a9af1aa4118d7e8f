// The verifier's core: the bug check itself, attribution of running code to
// a driver, and the symboliser that turns code addresses into the names a
// kernel debugger would show.
#include "platform/sim/ex_internal.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace sim {

// ---------------------------------------------------------------- attribution

__thread PDRIVER_OBJECT t_currentDriver = nullptr;

PDRIVER_OBJECT CurrentDriver() { return t_currentDriver; }

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(t_currentDriver) {
    t_currentDriver = driver;
}

DriverScope::~DriverScope() { t_currentDriver = previous_; }

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr)
        return "(kernel)";
    std::string name = Narrow(&driver->DriverName);
    // The object manager names drivers "\Driver\<service>"; the service name
    // is what people recognise.
    size_t slash = name.rfind('\\');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    return name.empty() ? "(unnamed driver)" : name;
}

// ---------------------------------------------------------------- symbols
// dladdr only sees exported symbols, and a driver image exports nothing but
// DriverEntry, so every address in it would read "DriverEntry+0x...". The
// image's own symbol table (.symtab) has its local functions too.

namespace {

struct SymbolTable {
    struct Entry {
        uintptr_t start;
        uintptr_t size;
        std::string name;
    };
    std::vector<Entry> functions; // sorted by start
    bool relative = true;         // ET_DYN: values are offsets from the load base
};

std::unique_ptr<SymbolTable> LoadSymbolTable(const char* path) {
    auto table = std::make_unique<SymbolTable>();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return table;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < (off_t)sizeof(Elf64_Ehdr)) {
        close(fd);
        return table;
    }
    size_t length = (size_t)st.st_size;
    void* map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return table;
    const auto* base = static_cast<const unsigned char*>(map);
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
    if (memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64 ||
        eh->e_shoff == 0 || eh->e_shoff + (size_t)eh->e_shnum * sizeof(Elf64_Shdr) > length) {
        munmap(map, length);
        return table;
    }
    table->relative = eh->e_type == ET_DYN;
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
    // Prefer the full table; a stripped image still has its dynamic symbols.
    for (unsigned wanted : {(unsigned)SHT_SYMTAB, (unsigned)SHT_DYNSYM}) {
        for (unsigned i = 0; i < eh->e_shnum; ++i) {
            const Elf64_Shdr& sh = sections[i];
            if (sh.sh_type != wanted || sh.sh_link >= eh->e_shnum)
                continue;
            const Elf64_Shdr& strings = sections[sh.sh_link];
            if (sh.sh_offset + sh.sh_size > length || strings.sh_offset + strings.sh_size > length)
                continue;
            const auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sh.sh_offset);
            size_t count = sh.sh_size / sizeof(Elf64_Sym);
            const char* names = reinterpret_cast<const char*>(base + strings.sh_offset);
            for (size_t k = 0; k < count; ++k) {
                const Elf64_Sym& sym = syms[k];
                if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 ||
                    sym.st_name >= strings.sh_size)
                    continue;
                table->functions.push_back({sym.st_value, sym.st_size, names + sym.st_name});
            }
        }
        if (!table->functions.empty())
            break;
    }
    munmap(map, length);
    std::sort(table->functions.begin(), table->functions.end(),
              [](const SymbolTable::Entry& a, const SymbolTable::Entry& b) {
                  return a.start < b.start;
              });
    return table;
}

std::string Demangle(const char* name) {
    int status = 0;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || out == nullptr)
        return name;
    std::string result(out);
    std::free(out);
    // "NTAPI" routines read better without their parameter lists.
    return result;
}

std::string Hex(uintptr_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%lx", (unsigned long)value);
    return buffer;
}

std::mutex g_symbolMutex;
std::map<std::string, std::unique_ptr<SymbolTable>>* g_tables = nullptr; // never freed: used at exit
std::map<const void*, std::string>* g_symbolCache = nullptr;

std::string SymbolizeUncached(const void* pc) {
    Dl_info info{};
    if (dladdr(pc, &info) == 0 || info.dli_fname == nullptr)
        return Hex((uintptr_t)pc);
    std::string module = info.dli_fname;
    uintptr_t address = (uintptr_t)pc;
    auto& slot = (*g_tables)[module];
    if (!slot) {
        // The main program's path as dladdr reports it may be argv[0]; the
        // kernel's own link is reliable.
        std::string path = module;
        Dl_info self{};
        dladdr((const void*)&Symbolize, &self);
        if (info.dli_fbase == self.dli_fbase || path.find('/') == std::string::npos)
            path = "/proc/self/exe";
        slot = LoadSymbolTable(path.c_str());
        if (slot->functions.empty() && path != module)
            slot = LoadSymbolTable(module.c_str());
    }
    uintptr_t key = slot->relative ? address - (uintptr_t)info.dli_fbase : address;
    const auto& fns = slot->functions;
    auto it = std::upper_bound(fns.begin(), fns.end(), key,
                               [](uintptr_t v, const SymbolTable::Entry& e) { return v < e.start; });
    if (it != fns.begin()) {
        --it;
        if (it->size == 0 || key < it->start + it->size)
            return Demangle(it->name.c_str()) + "+" + Hex(key - it->start);
    }
    if (info.dli_sname != nullptr)
        return Demangle(info.dli_sname) + "+" + Hex(address - (uintptr_t)info.dli_saddr);
    size_t slash = module.rfind('/');
    return module.substr(slash == std::string::npos ? 0 : slash + 1) + "+" +
           Hex(address - (uintptr_t)info.dli_fbase);
}

// The function name of "Name+0x1c" or "ns::Name(args)+0x1c".
std::string FunctionOf(const std::string& symbol) {
    size_t plus = symbol.rfind('+');
    return plus == std::string::npos ? symbol : symbol.substr(0, plus);
}

bool IsSimulationFrame(const std::string& symbol) {
    return symbol.rfind("sim::", 0) == 0 || symbol.rfind("std::", 0) == 0 ||
           symbol.rfind("void std::", 0) == 0 || symbol.rfind("__", 0) == 0 ||
           symbol.find("sim::") != std::string::npos;
}

// An exported kernel routine (IofCompleteRequest, KfAcquireSpinLock, ...):
// the simulation entered from driver code.
bool IsKernelRoutine(const std::string& symbol) {
    static const char* const prefixes[] = {"Iof", "Io", "Kef", "Kf", "Ke", "Ex", "Rtl", "Zw",
                                           "Po", "Ob", "Mm", "Hal", "Dbg", "Sim"};
    for (const char* p : prefixes) {
        size_t n = strlen(p);
        if (symbol.compare(0, n, p) == 0 && symbol.size() > n && isupper((unsigned char)symbol[n]))
            return true;
    }
    return false;
}

} // namespace

std::string Symbolize(const void* pc) {
    if (pc == nullptr)
        return "(unknown)";
    // A bug check can happen while another thread holds the lock (or this one,
    // symbolising inside a check); then answer without the cache.
    std::unique_lock<std::mutex> lock(g_symbolMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        Dl_info info{};
        if (dladdr(pc, &info) != 0 && info.dli_sname != nullptr)
            return Demangle(info.dli_sname) + "+" +
                   Hex((uintptr_t)pc - (uintptr_t)info.dli_saddr);
        return Hex((uintptr_t)pc);
    }
    if (g_tables == nullptr) {
        g_tables = new std::map<std::string, std::unique_ptr<SymbolTable>>();
        g_symbolCache = new std::map<const void*, std::string>();
    }
    auto cached = g_symbolCache->find(pc);
    if (cached != g_symbolCache->end())
        return cached->second;
    std::string text = SymbolizeUncached(pc);
    (*g_symbolCache)[pc] = text;
    return text;
}

// Driver images come and go at the same addresses; forget what was learnt of
// the last one.
void ForgetSymbols() {
    std::lock_guard<std::mutex> lock(g_symbolMutex);
    if (g_tables != nullptr) {
        g_tables->clear();
        g_symbolCache->clear();
    }
}

std::string DescribeCaller(int skip) {
    void* frames[48];
    int n = backtrace(frames, 48);
    std::string entered;
    // Frame 0 is this function; the return addresses point after the call,
    // so step back one byte to land inside the calling instruction.
    for (int i = 1 + skip; i < n; ++i) {
        std::string symbol = Symbolize((const char*)frames[i] - 1);
        if (IsSimulationFrame(symbol))
            continue;
        if (IsKernelRoutine(symbol) && entered.empty()) {
            entered = FunctionOf(symbol);
            continue;
        }
        return entered.empty() ? symbol : symbol + " (in " + entered + ")";
    }
    return entered.empty() ? "(unknown)" : entered;
}

// ---------------------------------------------------------------- bug check

namespace {

std::atomic<bool> g_bugChecking{false};
thread_local bool t_inBugCheck = false;

void WriteAll(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n <= 0)
            break;
        p += n;
        left -= (size_t)n;
    }
}

std::string Param(ULONG_PTR value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", (unsigned long)value);
    return buffer;
}

} // namespace

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
              const std::string& reason, const char* file, int line) {
    // A check that fails while the report is being written (the report calls
    // back into the simulation) must not recurse; another thread that trips a
    // check meanwhile waits for this one to stop the machine.
    if (t_inBugCheck)
        std::abort();
    t_inBugCheck = true;
    if (g_bugChecking.exchange(true)) {
        for (;;) {
            struct timespec ts {0, 50 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    std::string report;
    report += "\n*** STOP: " + Param(code) + " (" + Param(p1) + ", " + Param(p2) + ", " +
              Param(p3) + ", " + Param(p4) + ")\n";
    report += BugCheckName(code);
    report += "\n";
    if (const RuleRow* rule = FindRule(code, p1, p4))
        report += std::string("rule ") + rule->id + ": " + rule->wording + "\n";
    WriteAll(report); // the code first, in case anything below goes wrong
    report.clear();
    std::string text = reason;
    while (!text.empty() && text.back() == '\n')
        text.pop_back(); // listings end in a newline of their own
    report += text + "\n";
    report += "driver: " + DriverName(CurrentDriver()) + "\n";
    if (file != nullptr)
        report += std::string("at: ") + file + ":" + std::to_string(line) + "\n";
    else
        report += "at: " + DescribeCaller(1) + "\n";
    std::string context = IoBugCheckContext();
    if (!context.empty()) {
        report += context;
        if (context.back() != '\n')
            report += "\n";
    }
    WriteAll(report);
    std::abort();
}

void NotModelled(const std::string& what) {
    BugCheck(kSimNotModelled, 0, 0, 0, 0, "not modelled: " + what);
}

} // namespace sim

// A driver's own bug check.
extern "C" DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1,
                                                      ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    sim::BugCheck(BugCheckCode, P1, P2, P3, P4, "the driver called KeBugCheckEx");
}
