#include "Channel.h"

#include <optional>

#include "state/TextFile.h"

namespace lvpublish {

bool ParseStatementTarget(const std::string& product, const std::string& channel,
                          StatementTarget* target, std::string* error) {
    const struct {
        const char* option;
        const std::string& given;
        std::string* value;
    } fields[] = {{"--product", product, &target->product},
                  {"--channel", channel, &target->channel}};
    for (const auto& field : fields) {
        if (field.given.empty())
            continue;
        if (!IsShortName(field.given)) {
            *error = std::string(field.option) +
                     " takes 1 to 64 letters, digits, '-', '_' or '.', not '" + field.given + "'";
            return false;
        }
        *field.value = field.given;
    }
    return true;
}

bool KeepStatementTarget(const BuildStatement& current, const std::string& product,
                         const std::string& channel, std::string* error) {
    if ((product.empty() || product == current.product) &&
        (channel.empty() || channel == current.channel))
        return true;
    *error = "the current statement of " + current.buildFolder + " is for product " +
             current.product + ", channel " + current.channel +
             "; publish the build again to sign it for another";
    return false;
}

uint64_t SerialOfStatementFile(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, &text) || text.size() > kMaxStatementBytes)
        return 0;
    if (std::optional<BuildStatement> statement = ParseStatement(text))
        return statement->serial;
    const std::string formatOne = "lantern-vale-build-statement 1\n";
    const size_t at = text.find("\nserial ");
    if (text.compare(0, formatOne.size(), formatOne) != 0 || at == std::string::npos)
        return 0;
    const size_t begin = at + 8, end = text.find('\n', begin);
    const std::string digits = text.substr(begin, end - begin);
    if (end == std::string::npos || digits.empty() || digits.size() > 18 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoull(digits);
}

}  // namespace lvpublish
