// Icon files of a device's applications, kept in the device's mirror folder.
#ifndef FLX_HANDLERS_CACHE_HANDLER_APP_H
#define FLX_HANDLERS_CACHE_HANDLER_APP_H

#include <json/value.h>
#include <stdint.h>

// Mirrors icon `key` ("icon" or "icon_256") of application object `app` as
// <mirror of qxId>/apps/<id>/<key>.png, stamped with the pushed "<key>_mtime". 0 when the
// file already had the pushed time and size, or the decoded icon was written in full; -1 on
// failure, also for a missing member or an id that may not be a path component.
int update_app_icon(const char* key, uint64_t qxId, const Json::Value& app);

#endif  // FLX_HANDLERS_CACHE_HANDLER_APP_H
