#pragma once
// Builds on disk and readers of what lvpublish left on a server root.

#include <map>
#include <string>

#include "Publish.h"
#include "fileset/FilesToPatch.h"

// Writes a build folder from name -> content (creating folders on the way).
void MakeBuild(const std::string& dir, const std::map<std::string, std::string>& files);

// The manifest of a build folder under root/lanternvale_patch/, by name.
std::map<std::string, FilesToPatch::File> ReadManifest(const std::string& root,
                                                       const std::string& buildFolder);

// Every path under `root` (relative, sorted) with each file's size and
// SHA-256 and each link's target: what a refused command must leave
// untouched.
std::string Snapshot(const std::string& root);

// Publishes `build` to `root`; fails the test with the tool's reason if
// that does not work.
lvpublish::PublishReport PublishOrFail(const std::string& build, const std::string& root,
                                       const std::string& gameExe = "",
                                       const std::string& testClient = "");
