#include "inventory/export.h"

#include <json/writer.h>
#include <syslog.h>

#include <memory>
#include <sstream>

namespace inventory {
namespace {

// Pieces go to the client once this much is buffered.
const size_t kFlushBytes = 64 * 1024;

std::string scalarText(const Json::Value& v) {
  if (v.isNull()) return "";
  if (v.isString()) return v.asString();
  if (v.isBool()) return v.asBool() ? "true" : "false";
  if (v.isInt64()) return std::to_string(v.asInt64());
  if (v.isUInt64()) return std::to_string(v.asUInt64());
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

void flattenInto(const Json::Value& v, const std::string& name,
                 std::vector<std::pair<std::string, std::string>>& cells) {
  if (v.isObject()) {
    for (const std::string& key : v.getMemberNames())
      flattenInto(v[key], name.empty() ? key : name + "." + key, cells);
    return;
  }
  if (v.isArray()) {
    bool texts = true;
    for (const Json::Value& e : v) texts = texts && !e.isObject() && !e.isArray();
    std::string joined;
    for (const Json::Value& e : v) joined += (joined.empty() ? "" : " ") + scalarText(e);
    cells.emplace_back(name, texts ? joined : scalarText(v));
    return;
  }
  cells.emplace_back(name, scalarText(v));
}

}  // namespace

std::vector<std::pair<std::string, std::string>> flatten(const Json::Value& row) {
  std::vector<std::pair<std::string, std::string>> cells;
  flattenInto(row, "", cells);
  return cells;
}

std::string csvRecord(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& f = fields[i];
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      out += f;
      continue;
    }
    out += '"';
    for (char c : f) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out + "\r\n";
}

KEVO::Download exportList(bool csv, const std::string& name, Lister run) {
  KEVO::Download d;
  d.contentType = csv ? "text/csv; charset=utf-8" : "application/json; charset=utf-8";
  d.fileName = name + (csv ? ".csv" : ".json");
  d.producer = [csv, run](const KEVO::BodyWriter& write) noexcept {
    try {
      std::string buf;
      bool open = true;  // the client still reads
      auto flush = [&] {
        open = open && (buf.empty() || write(buf.data(), buf.size()));
        buf.clear();
        return open;
      };
      std::vector<std::string> header;  // the first row's columns
      std::unique_ptr<Json::StreamWriter> json;
      if (!csv) {
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        w["emitUTF8"] = true;
        json.reset(w.newStreamWriter());
      }
      size_t rows = 0;
      const flxread::RowSink sink = [&](Json::Value& row) {
        if (csv) {
          const auto cells = flatten(row);
          if (rows == 0) {
            for (const auto& c : cells) header.push_back(c.first);
            buf += csvRecord(header);
          }
          // Rows of a list share their shape; a row that differs is matched by name.
          std::vector<std::string> fields(header.size());
          for (size_t j = 0; j < cells.size(); ++j) {
            if (j < header.size() && header[j] == cells[j].first) {
              fields[j] = cells[j].second;
              continue;
            }
            for (size_t i = 0; i < header.size(); ++i)
              if (header[i] == cells[j].first) fields[i] = cells[j].second;
          }
          buf += csvRecord(fields);
        } else {
          buf += rows == 0 ? "[\n" : ",\n";
          std::ostringstream text;
          json->write(row, &text);
          buf += text.str();
        }
        ++rows;
        return buf.size() < kFlushBytes || flush();
      };
      flxread::Page page;
      page.sink = &sink;
      Json::Value out;
      std::string err;
      const flxread::Result r = run(page, out, err);
      if (!csv) buf += rows == 0 ? "[]\n" : "\n]\n";
      if (r != flxread::kOk) {
        syslog(LOG_ERR, "inventory_api: an export stopped: %s", err.c_str());
        flush();
        return false;
      }
      return flush();
    } catch (const std::exception& e) {
      syslog(LOG_ERR, "inventory_api: an export failed: %s", e.what());
    } catch (...) {
      syslog(LOG_ERR, "inventory_api: an export failed");
    }
    return false;
  };
  return d;
}

}  // namespace inventory
