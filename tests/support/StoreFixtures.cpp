#include "tests/support/StoreFixtures.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "nimbrad/ProcessListDataStore.h"

namespace nimbra::test {

ProcessDataEntry makeEntry(const std::string& name, std::uint32_t uid, double secondsSince1970) {
  ProcessDataEntry entry;
  entry.process_uid = uid;
  entry.process_name = name;
  entry.process_team_id = "PTEAM" + name;
  entry.process_developer_name = "Maker of " + name;
  entry.process_bundle_id = "com.example." + name;
  entry.process_bundle_version = "1.0";
  entry.process_path = "/Applications/" + name + ".app/Contents/MacOS/" + name;
  // The target is the application's own executable (as for an application
  // run as itself, which the filters keep), signed as another program.
  entry.target_name = name + "Engine";
  entry.target_team_id = "TTEAM" + name;
  entry.target_developer_name = "Engine Works";
  entry.target_bundle_id = "com.engine." + name;
  entry.target_bundle_version = "2.5";
  entry.target_path = entry.process_path;
  // The responsible process is the launcher that started it.
  entry.responsible_name = name + "Launcher";
  entry.responsible_team_id = "RTEAM" + name;
  entry.responsible_developer_name = "Launcher Ltd";
  entry.responsible_bundle_id = "com.launcher." + name;
  entry.responsible_bundle_version = "3.1";
  entry.responsible_path = "/Applications/" + name + "Launcher.app";
  entry.product_key = "/Applications/" + name + ".app";
  entry.previously_launched_date = platform::Date{secondsSince1970};
  entry.reason = VelmoraReason::x86Only(VelmoraEntity{name, entry.process_path, entry.process_bundle_id,
                                                      entry.process_team_id, entry.process_developer_name, "1.0"});
  entry.deriveFields();
  return entry;
}

long long rowCount(sqlite3* handle, const std::string& table) {
  sqlite3_stmt* statement = nullptr;
  std::string sql = "SELECT COUNT(*) FROM " + table;
  if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
  long long count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  return count;
}

SnapshotFile::SnapshotFile(const std::string& path) {
  open_ = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
}

SnapshotFile::~SnapshotFile() { sqlite3_close(db_); }

long long SnapshotFile::scalar(const std::string& sql) const {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
  long long value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  return value;
}

std::string SnapshotFile::text(const std::string& sql) const {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return sqlite3_errmsg(db_);
  std::string value = "<no row>";
  if (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(statement);
  return value;
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> unreadableCopies(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(directory)) {
    std::string name = item.path().filename();
    if (name.starts_with("nimbra.db.unreadable-")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void damagePage(const std::string& path, long long page, long long pageSize) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp((page - 1) * pageSize);
  file.write(std::string(16, '\xff').data(), 16);
  if (!file) throw std::runtime_error("cannot damage " + path);
}

void writeLaunchSnapshot(const std::string& directory, int count, const std::string& prefix) {
  auto store = std::make_shared<ProcessListDataStore>(directory);
  store->loadDatabase();
  for (int i = 0; i < count; ++i) {
    auto entry = makeEntry(prefix + std::to_string(i), 501, 1700000000 + i);
    if (!store->updateEntry(entry, 0, true)) throw std::runtime_error("cannot record a launch");
  }
  if (!store->saveToDisk()) throw std::runtime_error("cannot save " + directory);
}

}  // namespace nimbra::test
