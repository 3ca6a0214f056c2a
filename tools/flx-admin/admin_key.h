// The push keyring: the current key (etc/push.key) and the older keys still accepted after a
// rotation (etc/push.keys.d/, newest name first), rotated and retired by the operator.
#ifndef FLX_TOOLS_ADMIN_KEY_H
#define FLX_TOOLS_ADMIN_KEY_H

#include <json/value.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "admin_commands.h"

namespace flxadmin {

// 64 hex digits of a fresh random key and a newline; false when no random source.
bool randomKeyText(std::string& text);

// Moves the current key into the keyring folder (named by the time and its short id) and
// writes a new current key; `oldId` and `newId` get the short ids. Pushes enciphered with
// either key keep working.
int keyRotate(std::string& oldId, std::string& newId, std::string& err);

// Drops the older keys that no push used for `unusedFor` seconds before `now` (a key counts
// as used until it was rotated out, and until a minute after its recorded last use, which
// is kept to within a minute). `retired` and `kept` get a line per key. Non-zero with `err`
// when there is no older key, or every one is still in use.
int keyRetire(int64_t unusedFor, int64_t now, std::vector<std::string>& retired,
              std::vector<std::string>& kept, std::string& err);

// {"current": id, "older": [{id, file, rotated, last_used}]}.
int keyList(Json::Value& out, std::string& err);

// Adds "key rotate|retire|list" to `app`; their runners go to `commands`.
void addKeyCommands(CLI::App& app, Commands& commands);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_KEY_H
