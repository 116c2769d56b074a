// A program for the tests to start. It gets no command line, so it learns
// its task from files in its current folder:
//   probe_handle.txt  a handle value the starter holds; the report says
//                     whether that handle reached this process
//   probe_hold.txt    keep running until probe_release.txt appears
// It reports what it was given in probe_report.txt, written whole under a
// temporary name first so that a reader never sees half of it.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

bool Exists(const char* name) {
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

// "inherited" when the starter's handle value names the same file here.
std::string InheritedHandle() {
    std::ifstream in("probe_handle.txt");
    unsigned long long value = 0;
    if (!(in >> value))
        return "unasked";
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    char path[MAX_PATH * 2] = {};
    DWORD n = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED);
    std::string final(path, n < sizeof path ? n : 0);
    const std::string expected = "inheritable.dat";
    bool same = final.size() >= expected.size() &&
                final.compare(final.size() - expected.size(), expected.size(), expected) == 0;
    return same ? "inherited" : "none";
}

}  // namespace

int main(int argc, char**) {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof folder, folder);
    const char* value = std::getenv("LV_PROBE_VALUE");
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);

    std::ostringstream report;
    report << "argc=" << argc << "\n"
           << "folder=" << folder << "\n"
           << "env=" << (value ? value : "(unset)") << "\n"
           << "handle=" << InheritedHandle() << "\n"
           << "program=" << program << "\n";
    {
        std::ofstream out("probe_report.tmp", std::ios::binary | std::ios::trunc);
        out << report.str();
    }
    MoveFileExA("probe_report.tmp", "probe_report.txt", MOVEFILE_REPLACE_EXISTING);

    // Bounded, so that a failed test leaves no process behind for long.
    if (Exists("probe_hold.txt"))
        for (int i = 0; i < 6000 && !Exists("probe_release.txt"); ++i)
            Sleep(10);
    return 0;
}
