#pragma once
// The names of the files the launcher keeps in the game folder, in one place
// below every layer that reads or writes one of them.

// The launcher's own program and its successor as the manifest names them,
// and the two markers of the hand-off from one to the other.
inline constexpr const char* kLauncherExe = "NoxPatch2011.exe";
inline constexpr const char* kNewLauncherExe = "NoxPatch2011_new.exe";
// Where the update role writes the new launcher before renaming it over
// kLauncherExe (ReplaceFileAtomically's temporary file, the target + ".tmp").
inline constexpr const char* kLauncherReplacement = "NoxPatch2011.exe.tmp";
inline constexpr const char* kUpdatingMarker = "NoxPatch2011_updating.txt";
inline constexpr const char* kRestartedMarker = "NoxPatch2011_was_restarted.txt";

// The local copies of the patch server's text files.
inline constexpr const char* kAddressFileName = "patch_server_address.txt";
inline constexpr const char* kBuildFolderFileName = "build_folder.txt";
inline constexpr const char* kManifestFileName = "current2.txt";

// The trust chain's files: the root-signed list of build keys, the build's
// signed statement, and the highest serial this launcher has accepted.
inline constexpr const char* kKeyListFileName = "build_keys.txt";
inline constexpr const char* kStatementFileName = "build_statement.txt";
inline constexpr const char* kTrustStateFileName = "trusted_serial.txt";
