// Lists as downloads: CSV (RFC 4180, a header row) or a JSON array, written row by row as the
// read views hand them out, so that an export of the whole fleet holds one row at a time.
#ifndef FLX_INVENTORY_EXPORT_H
#define FLX_INVENTORY_EXPORT_H

#include <json/value.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "flxread.h"
#include "webapi.h"

namespace inventory {

// Reads a whole list into the page's sink.
using Lister = std::function<flxread::Result(const flxread::Page&, Json::Value&, std::string&)>;

// A row as CSV cells: nested objects become dotted column names ("summary.vol_count"),
// arrays of texts one cell of them joined by spaces, other arrays their JSON text.
std::vector<std::pair<std::string, std::string>> flatten(const Json::Value& row);
// One CSV record, fields quoted where they must be, ended by CRLF.
std::string csvRecord(const std::vector<std::string>& fields);

// The download of list `name` ("devices.csv" or "devices.json"); `csv` chooses the format.
KEVO::Download exportList(bool csv, const std::string& name, Lister run);

}  // namespace inventory

#endif  // FLX_INVENTORY_EXPORT_H
