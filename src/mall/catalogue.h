#pragma once
// The seven games of the mall and the 45 items the tool offers, each known by its id, with the
// values that make up each item's exchange address. Everything here is fixed at build time.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vellicor::mall {

struct Game {
    std::string_view tag;      // "CF", "LOL", ...
    std::string_view name;     // the mall's Chinese name, key of the balance on the record page
    std::string_view caption;  // tag, then the name in ASCII parentheses
    int gid = 0;
};

struct ExchangeTarget {
    int gid = 0;
    std::int64_t propsid = 0;
    int way = 1;  // 1 direct exchange, 2 lottery draw
    std::string_view token;
};

struct Item {
    std::string_view id;  // "nz-famas-3d": the game's tag in lower case, then the item in ASCII
    int game = 0;         // index into games()
    std::string_view caption;
    bool lottery = false;  // a draw: the window shows it in red
    bool enabled = true;   // not on offer: it cannot be chosen
    ExchangeTarget target;
};

std::span<const Game> games();
std::span<const Item> items();

const Game& gameOf(const Item& item);
const Game* findGame(std::string_view tag);
const Item* findItem(std::string_view id);
// "选择框N", the name scripts used before ids: the Nth item of items().
const Item* findItemByOldName(std::string_view name);

// The items named by id or by old name, in catalogue order, each once however often it is
// named. An unknown name or an item not on offer is refused as a whole, naming it, so that a
// run never starts with less than the user asked for without saying so.
Result<std::vector<const Item*>> selectItems(const std::vector<std::string>& names);

// "/mall/index.php?op=exchangeing&gid=..&type=2&propsid=..&way=..&g_tk=.." (keys in this order).
std::string exchangePath(const ExchangeTarget& target);
// The same behind the mall's base address (scheme://host[:port], no trailing slash).
std::string exchangeAddress(std::string_view mallBase, const ExchangeTarget& target);

}  // namespace vellicor::mall
