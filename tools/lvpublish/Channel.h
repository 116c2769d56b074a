#pragma once
// The product and channel a signed build is published for: launchers take
// only builds whose statement names theirs (LV_PRODUCT, LV_CHANNEL).

#include <cstdint>
#include <string>

#include "patch/Trust.h"

namespace lvpublish {

inline constexpr const char* kDefaultProduct = "lantern-vale";
inline constexpr const char* kDefaultChannel = "live";

struct StatementTarget {
    std::string product = kDefaultProduct;
    std::string channel = kDefaultChannel;
};

// "--product NAME" and "--channel NAME" as given (empty: the default).
bool ParseStatementTarget(const std::string& product, const std::string& channel,
                          StatementTarget* target, std::string* error);

// resign keeps the product and channel the current statement was signed
// for; naming others is refused (a new channel is a new publish).
bool KeepStatementTarget(const BuildStatement& current, const std::string& product,
                         const std::string& channel, std::string* error);

// The serial of the statement file at `path`, in this format or in format 1
// (before statements named a product and channel), which launchers no longer
// take but whose serials they may have accepted; 0 without one.
uint64_t SerialOfStatementFile(const std::string& path);

}  // namespace lvpublish
