#pragma once
// The launcher program's start-up: prepares the process, then takes its role.

class COroPatch2007App {
  public:
    // Call before QApplication exists.
    static void PrepareProcess();

    // Runs the launcher. Returns false: the process ends when it returns.
    bool InitInstance();

  private:
    // Shows the launcher window until it closes; its destruction writes the
    // options file.
    bool RunNormalRole();

    // Finishes a self-update hand-off: replaces NoxPatch2011.exe with this
    // program and starts it.
    bool RunUpdateRole();
};
