#include "nimbrad/ProcessDataEntry.h"

#include <array>
#include <cmath>

#include <fmt/format.h>

#include "nimbrad/BundleType.h"
#include "nimbrad/DateFormatter.h"
#include "nimbrad/TableFormatter.h"
#include "platform/Log.h"

namespace nimbra {

namespace {

// A bundle tuple as stored: no bundle found is ("", "Other").
void storeTuple(const std::optional<BundleTuple>& tuple, std::string& name, std::string& type) {
  if (tuple) {
    name = tuple->bundleName;
    type = std::string(bundleTypeText(tuple->bundleType));
  } else {
    name.clear();
    type = std::string(bundleTypeText(BundleType::other));
  }
}

using Entry = ProcessDataEntry;
using Value = ProcessDataEntry::FieldValue;

#define NIMBRA_TEXT_FIELD(member) \
  Entry::Field { #member, [](const Entry& e) -> Value { return std::string_view(e.member); } }

const std::array<Entry::Field, 34> fieldTable = {
    Entry::Field{"process_uid", [](const Entry& e) -> Value { return e.process_uid; }},
    NIMBRA_TEXT_FIELD(process_name),
    NIMBRA_TEXT_FIELD(process_team_id),
    NIMBRA_TEXT_FIELD(process_developer_name),
    NIMBRA_TEXT_FIELD(process_bundle_id),
    NIMBRA_TEXT_FIELD(process_bundle_version),
    NIMBRA_TEXT_FIELD(process_path),
    NIMBRA_TEXT_FIELD(process_hash),
    NIMBRA_TEXT_FIELD(target_name),
    NIMBRA_TEXT_FIELD(target_team_id),
    NIMBRA_TEXT_FIELD(target_developer_name),
    NIMBRA_TEXT_FIELD(target_bundle_id),
    NIMBRA_TEXT_FIELD(target_bundle_version),
    NIMBRA_TEXT_FIELD(target_path),
    NIMBRA_TEXT_FIELD(target_hash),
    NIMBRA_TEXT_FIELD(responsible_name),
    NIMBRA_TEXT_FIELD(responsible_team_id),
    NIMBRA_TEXT_FIELD(responsible_developer_name),
    NIMBRA_TEXT_FIELD(responsible_bundle_id),
    NIMBRA_TEXT_FIELD(responsible_bundle_version),
    NIMBRA_TEXT_FIELD(responsible_path),
    NIMBRA_TEXT_FIELD(product_key),
    NIMBRA_TEXT_FIELD(product_display_name),
    Entry::Field{"is_embedded_component", [](const Entry& e) -> Value { return e.is_embedded_component; }},
    NIMBRA_TEXT_FIELD(responsible_hash),
    NIMBRA_TEXT_FIELD(main_bundle),
    NIMBRA_TEXT_FIELD(main_bundle_type),
    NIMBRA_TEXT_FIELD(exec_bundle),
    NIMBRA_TEXT_FIELD(exec_bundle_type),
    NIMBRA_TEXT_FIELD(bundle_hash),
    Entry::Field{"previously_launched_date", [](const Entry& e) -> Value { return e.previously_launched_date; }},
    Entry::Field{"number_of_times_launched", [](const Entry& e) -> Value { return e.number_of_times_launched; }},
    NIMBRA_TEXT_FIELD(previously_launched_date_string),
    Entry::Field{"reason", [](const Entry& e) -> Value { return &e.reason; }},
};

#undef NIMBRA_TEXT_FIELD

// The dictionaries leave out the identity keys and the date text: they are
// derived, and the date is there as a date.
bool inDictionaries(std::string_view name) {
  return name.find("hash") == std::string_view::npos && name != "previously_launched_date_string";
}

// Columns of the one-line form: what tells launches apart at a glance.
constexpr std::array<std::size_t, 17> rowWidths = {6, 24, 12, 32, 12, 24, 12, 32, 24, 12, 32, 32, 24, 24, 19, 6, 24};

}  // namespace

std::span<const ProcessDataEntry::Field> ProcessDataEntry::fields() { return fieldTable; }

const ProcessDataEntry::Field* ProcessDataEntry::field(std::string_view name) {
  // Looked up for every key of every exclusion rule on each launch; the
  // table is small enough that a scan beats building an index.
  for (const auto& candidate : fieldTable) {
    if (candidate.name == name) return &candidate;
  }
  return nullptr;
}

ProcessDataEntry::FieldValue ProcessDataEntry::fieldValue(std::string_view name) const {
  const Field* found = field(name);
  if (found == nullptr) return kNoValueForKey;
  return found->read(*this);
}

std::string ProcessDataEntry::identityKey(std::string_view a, std::string_view b, std::string_view c,
                                          std::string_view d) {
  std::string key;
  key.reserve(a.size() + b.size() + c.size() + d.size() + 3);
  key.append(a).append("|").append(b).append("|").append(c).append("|").append(d);
  return key;
}

std::uint64_t ProcessDataEntry::storedSeconds(platform::Date date) {
  double seconds = date.secondsSince1970;
  if (!(seconds > 0)) return 0;  // before 1970, and NaN
  if (seconds >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(seconds);
}

ProcessDataEntry ProcessDataEntry::fromEvent(const VelmoraEventData& event, std::string_view launchTime,
                                             VelmoraReason reason, std::string productKey,
                                             const platform::Clock& clock, const PathParsersConfiguration& paths) {
  ProcessDataEntry entry;
  entry.process_uid = event.uid;
  entry.process_name = event.processName;
  entry.process_team_id = event.processTeamID;
  entry.process_developer_name = event.processDeveloperName;
  entry.process_bundle_id = event.processBundleID;
  entry.process_bundle_version = event.processBundleVersion;
  entry.process_path = PathParsers::resolveTranslocatedPath(event.processPath, paths);
  entry.target_name = event.targetFilename;
  entry.target_team_id = event.targetTeamID;
  entry.target_developer_name = event.targetDeveloperName;
  entry.target_bundle_id = event.targetBundleID;
  entry.target_bundle_version = event.targetBundleVersion;
  entry.target_path = PathParsers::resolveTranslocatedPath(event.targetPath, paths);
  entry.responsible_name = event.responsibleName;
  entry.responsible_team_id = event.responsibleTeamID;
  entry.responsible_developer_name = event.responsibleDeveloperName;
  entry.responsible_bundle_id = event.responsibleBundleID;
  entry.responsible_bundle_version = event.responsibleBundleVersion;
  entry.responsible_path = event.responsiblePath;
  entry.product_key = std::move(productKey);
  entry.reason = std::move(reason);

  if (auto date = DateFormatter::parse(launchTime)) {
    entry.previously_launched_date = *date;
  } else {
    platform::Logger::defaultLog().error("Failed to parse date from string: {}, using current date as fallback",
                                         launchTime);
    auto now = clock.now().time_since_epoch();
    entry.previously_launched_date = platform::Date{std::chrono::duration<double>(now).count()};
  }
  entry.number_of_times_launched = 1;
  entry.deriveFields();
  return entry;
}

void ProcessDataEntry::deriveFields() {
  process_hash = identityKey(process_name, process_team_id, process_bundle_id, process_bundle_version);
  target_hash = identityKey(target_name, target_team_id, target_bundle_id, target_bundle_version);
  responsible_hash =
      identityKey(responsible_name, responsible_team_id, responsible_bundle_id, responsible_bundle_version);

  auto mainTuple = PathParsers::mainBundleTuple(process_path);
  storeTuple(mainTuple, main_bundle, main_bundle_type);
  std::optional<std::string_view> mainName;
  if (mainTuple) mainName = main_bundle;
  storeTuple(PathParsers::execBundleTuple(target_path, mainName), exec_bundle, exec_bundle_type);
  bundle_hash = identityKey(main_bundle, main_bundle_type, exec_bundle, exec_bundle_type);

  previously_launched_date_string = DateFormatter::format(previously_launched_date);
}

platform::LogLines ProcessDataEntry::descriptionLines() const {
  platform::LogLines lines;
  lines.add("[ProcessDataEntry:")
      .add(fmt::format("   UID: {}", process_uid))
      .add("   Product Key: " + product_key)
      .add("   Product Display Name: " + product_display_name)
      .add(fmt::format("   Is Embedded Component: {}", is_embedded_component ? "true" : "false"));
  struct Role {
    const char* label;
    const std::string& name;
    const std::string& team;
    const std::string& developer;
    const std::string& bundleID;
    const std::string& bundleVersion;
    const std::string& path;
  };
  for (const Role& role :
       {Role{"Process", process_name, process_team_id, process_developer_name, process_bundle_id,
             process_bundle_version, process_path},
        Role{"Target", target_name, target_team_id, target_developer_name, target_bundle_id, target_bundle_version,
             target_path},
        Role{"Responsible", responsible_name, responsible_team_id, responsible_developer_name, responsible_bundle_id,
             responsible_bundle_version, responsible_path}}) {
    lines.add("")
        .add(fmt::format("   {}: {}", role.label, role.name))
        .add(fmt::format("   {} Team: {}", role.label, role.team))
        .add(fmt::format("   {} Developer: {}", role.label, role.developer))
        .add(fmt::format("   {} BundleID: {}", role.label, role.bundleID))
        .add(fmt::format("   {} BundleVersion: {}", role.label, role.bundleVersion))
        .add(fmt::format("   {} Path: {}", role.label, role.path));
  }
  lines.add("")
      .add("   MainBundle: " + main_bundle)
      .add(fmt::format("   MainBundleType: {}", main_bundle_type))
      .add("   ExecBundle: " + exec_bundle)
      .add(fmt::format("   ExecBundleType: {}", exec_bundle_type))
      .add("")
      .add("   Timestamp: " + previously_launched_date_string)
      .add(fmt::format("   NumberOfTimesLaunched: {}", number_of_times_launched))
      .add("   Reason: " + reason.description() + "]");
  return lines;
}

std::string ProcessDataEntry::description() const { return descriptionLines().joined(); }

std::string ProcessDataEntry::tableRow() const {
  std::vector<std::string> cells = {
      std::to_string(process_uid), process_name,      process_team_id,   process_bundle_id,
      process_bundle_version,      target_name,       target_team_id,    target_bundle_id,
      responsible_name,            responsible_team_id, responsible_bundle_id, product_key,
      main_bundle,                 exec_bundle,       previously_launched_date_string,
      std::to_string(number_of_times_launched), reason.description(),
  };
  return TableFormatter::format(cells, {rowWidths.begin(), rowWidths.end()});
}

std::string ProcessDataEntry::tableHeader() {
  std::vector<std::string> cells = {
      "UID",         "PROCESS",     "TEAM",     "BUNDLE ID",   "VERSION",    "TARGET",
      "TARGET TEAM", "TARGET BUNDLE ID", "RESPONSIBLE", "RESP. TEAM", "RESP. BUNDLE ID", "PRODUCT KEY",
      "MAIN BUNDLE", "EXEC BUNDLE", "LAST LAUNCH", "COUNT",    "REASON",
  };
  return TableFormatter::format(cells, {rowWidths.begin(), rowWidths.end()});
}

platform::Dictionary ProcessDataEntry::fieldDictionary() const {
  platform::Dictionary dictionary;
  for (const auto& field : fields()) {
    if (!inDictionaries(field.name)) continue;
    platform::Value value = std::visit(
        [](const auto& v) -> platform::Value {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::uint32_t>) {
            return platform::Value(static_cast<long long>(v));
          } else if constexpr (std::is_same_v<T, const VelmoraReason*>) {
            return platform::Value(v->description());
          } else {
            return platform::Value(v);
          }
        },
        field.read(*this));
    dictionary.emplace(std::string(field.name), std::move(value));
  }
  return dictionary;
}

platform::Dictionary ProcessDataEntry::stringDictionary() const {
  platform::Dictionary dictionary;
  for (const auto& field : fields()) {
    if (!inDictionaries(field.name)) continue;
    std::string text = std::visit(
        [](const auto& v) -> std::string {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string_view>) {
            return std::string(v);
          } else if constexpr (std::is_same_v<T, bool>) {
            return v ? "true" : "false";
          } else if constexpr (std::is_same_v<T, platform::Date>) {
            return DateFormatter::format(v);
          } else if constexpr (std::is_same_v<T, const VelmoraReason*>) {
            return v->description();
          } else {
            return std::to_string(v);
          }
        },
        field.read(*this));
    dictionary.emplace(std::string(field.name), platform::Value(std::move(text)));
  }
  return dictionary;
}

NamedParameters ProcessDataEntry::upsertParameters(std::int64_t rid) const {
  return NamedParameters{
      {":process_uid", SQLParameter(process_uid)},
      {":process_hash", SQLParameter(process_hash)},
      {":process_name", SQLParameter(process_name)},
      {":process_team_id", SQLParameter(process_team_id)},
      {":process_developer_name", SQLParameter(process_developer_name)},
      {":process_bundle_id", SQLParameter(process_bundle_id)},
      {":process_bundle_version", SQLParameter(process_bundle_version)},
      {":process_path", SQLParameter(process_path)},
      {":target_hash", SQLParameter(target_hash)},
      {":target_name", SQLParameter(target_name)},
      {":target_team_id", SQLParameter(target_team_id)},
      {":target_developer_name", SQLParameter(target_developer_name)},
      {":target_bundle_id", SQLParameter(target_bundle_id)},
      {":target_bundle_version", SQLParameter(target_bundle_version)},
      {":target_path", SQLParameter(target_path)},
      {":responsible_hash", SQLParameter(responsible_hash)},
      {":responsible_name", SQLParameter(responsible_name)},
      {":responsible_team_id", SQLParameter(responsible_team_id)},
      {":responsible_developer_name", SQLParameter(responsible_developer_name)},
      {":responsible_bundle_id", SQLParameter(responsible_bundle_id)},
      {":responsible_bundle_version", SQLParameter(responsible_bundle_version)},
      {":responsible_path", SQLParameter(responsible_path)},
      {":product_key", SQLParameter(product_key)},
      {":bundle_hash", SQLParameter(bundle_hash)},
      {":main_bundle", SQLParameter(main_bundle)},
      {":main_bundle_type", SQLParameter(main_bundle_type)},
      {":exec_bundle", SQLParameter(exec_bundle)},
      {":exec_bundle_type", SQLParameter(exec_bundle_type)},
      {":previously_launched_date", SQLParameter(static_cast<unsigned long>(storedSeconds(previously_launched_date)))},
      {":previously_launched_date_string", SQLParameter(previously_launched_date_string)},
      {":reason", SQLParameter(reason.description())},
      {":rid", SQLParameter(static_cast<long>(rid))},
  };
}

}  // namespace nimbra
