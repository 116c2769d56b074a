#include "Win32TestSupport.h"

#include <windows.h>

#include <fstream>

std::string ProbeProgram() {
    std::string self = platform::OwnProgramPath();
    return self.substr(0, self.find_last_of("\\/") + 1) + "lv_probe.exe";
}

void PlaceProbe(const std::string& name) {
    ::CopyFileA(ProbeProgram().c_str(), name.c_str(), FALSE);
}

bool WaitForFile(const std::string& name) {
    for (int i = 0; i < 6000; ++i) {
        if (::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        ::Sleep(10);
    }
    return false;
}

bool WaitForProcessEnd(int pid) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    // A process that has already ended and whose handles are closed is gone.
    if (!process)
        return ::GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = ::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

std::map<std::string, std::string> ReadProbeReport() {
    std::map<std::string, std::string> report;
    std::ifstream in("probe_report.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
}
