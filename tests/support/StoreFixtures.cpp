#include "tests/support/StoreFixtures.h"

#include <sqlite3.h>

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

}  // namespace nimbra::test
