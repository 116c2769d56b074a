#include "Channel.h"

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

}  // namespace lvpublish
