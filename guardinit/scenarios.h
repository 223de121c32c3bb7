#pragma once

// The fixed scripts that guardinit feeds to the server program. Bootstrap lines end
// in one line feed; SQL lines end in a semicolon and a blank line, because the
// single-user server runs with a blank line as statement end. The first "$username$"
// of a line stands for the security administrator's name.

#include <span>
#include <string_view>

namespace guardinit::scenarios {

using Scenario = std::span<const std::string_view>;

extern const Scenario header;
extern const Scenario checkData;
extern const Scenario dropUserIfExists;
extern const Scenario createUser;
extern const Scenario finalizeAuthData;
extern const Scenario createPolicy;
extern const Scenario finalizeData;
extern const Scenario grantFunctions;
extern const Scenario lockProtection;
extern const Scenario finalizeLockData;

}  // namespace guardinit::scenarios
