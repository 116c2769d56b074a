#pragma once
// The launcher's two options, kept in "NoxPatch2011_Options.cfg". Loaded by
// the constructor, written back by the destructor.

#include <string>

class OptionsFile {
  public:
    static constexpr const char* kFileName = "NoxPatch2011_Options.cfg";

    OptionsFile();
    virtual ~OptionsFile();
    OptionsFile(const OptionsFile&) = delete;
    OptionsFile& operator=(const OptionsFile&) = delete;

    // Writes the current values now (the destructor does the same).
    void Save() const;
    // Reads the file again as the constructor does, from the default values.
    void Reload();

    bool autoPlay = false;
    bool autoDownload = true;
};
