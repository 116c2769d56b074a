#pragma once
// The operator's build keys (patch/KeyList.h): the list the offline root key
// signs, and the commands that write it.
//
//   lvpublish public-key KEYFILE
//   lvpublish sign-keys SERVER_ROOT --root-key KEYFILE --build-key HEX[:DAYS]...
//   lvpublish rotate SERVER_ROOT --root-key KEYFILE --new-key KEYFILE
//                    [--days DAYS] [--grace DAYS]

#include <cstdint>
#include <string>
#include <vector>

#include "patch/KeyList.h"

namespace lvpublish {

inline constexpr int kDefaultBuildKeyDays = 90;
inline constexpr int kDefaultGraceDays = 14;

// The list a rotation signs: the keys of `current` still valid at `now`, each
// kept at most `graceDays` more, then `newKey` valid `days`. False with
// `error` when that makes more than kMaxBuildKeys.
bool RotatedKeys(const std::vector<BuildKey>& current, const std::string& newKey, int days,
                 int graceDays, int64_t now, std::vector<BuildKey>* keys, std::string* error);

bool IsKeyCommand(const char* command);
int RunKeyCommand(int argc, char** argv);

}  // namespace lvpublish
