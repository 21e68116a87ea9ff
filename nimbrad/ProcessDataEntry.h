#pragma once

// One recorded launch: the row of velmora_process_list_table. Built from a
// launch event by the intake pipeline, written by the store, read back by the
// dumps. Field names are the column names: exclusion rules and reports name
// fields by these texts.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "nimbrad/PathParsers.h"
#include "nimbrad/SQLParameter.h"
#include "nimbrad/VelmoraEventData.h"
#include "nimbrad/VelmoraReason.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/Value.h"

namespace nimbra {

struct ProcessDataEntry {
  std::uint32_t process_uid = 0;
  std::string process_name;
  std::string process_team_id;
  std::string process_developer_name;
  std::string process_bundle_id;
  std::string process_bundle_version;
  std::string process_path;
  std::string process_hash;
  std::string target_name;
  std::string target_team_id;
  std::string target_developer_name;
  std::string target_bundle_id;
  std::string target_bundle_version;
  std::string target_path;
  std::string target_hash;
  std::string responsible_name;
  std::string responsible_team_id;
  std::string responsible_developer_name;
  std::string responsible_bundle_id;
  std::string responsible_bundle_version;
  std::string responsible_path;
  std::string product_key;
  std::string product_display_name;  // not stored
  bool is_embedded_component = false;  // not stored
  std::string responsible_hash;
  std::string main_bundle;
  std::string main_bundle_type;
  std::string exec_bundle;
  std::string exec_bundle_type;
  std::string bundle_hash;
  platform::Date previously_launched_date;
  std::int32_t number_of_times_launched = 1;
  std::string previously_launched_date_string;
  VelmoraReason reason;

  // The entry of one launch. Paths of the process and the target have app
  // translocation undone; the identity keys and the bundle columns are
  // derived; `launchTime` is parsed with the shared date formatter and, when
  // it does not parse, replaced by `clock.now()` with an error line.
  // `product_display_name` and `is_embedded_component` are left for the
  // caller. Never fails.
  static ProcessDataEntry fromEvent(const VelmoraEventData& event, std::string_view launchTime, VelmoraReason reason,
                                    std::string productKey, const platform::Clock& clock = platform::Clock::system(),
                                    const PathParsersConfiguration& paths = PathParsersConfiguration::standard());

  // Recomputes what follows from the stored fields: the four identity keys,
  // the main and executable bundle with their types, and the date text. Used
  // after building and after reading a row back.
  void deriveFields();

  // Fields joined with "|" as they are: no escaping, empty fields kept.
  static std::string identityKey(std::string_view a, std::string_view b, std::string_view c, std::string_view d);

  // A date as stored: whole seconds since 1970, truncated; before 1970 gives 0.
  static std::uint64_t storedSeconds(platform::Date date);

  // The multi-line text form for logs and dumps (hashes not shown), as
  // lines (logged this way, a value holding a line break cannot start a
  // line of its own) and joined.
  platform::LogLines descriptionLines() const;
  std::string description() const;

  // The one-line fixed-width form of the dumps (17 columns), and the header
  // line with the same widths.
  std::string tableRow() const;
  static std::string tableHeader();

  // Field name to value, without the hash fields and the date text: the user
  // and the launch count as integers, the flag as a boolean, the date as a
  // date, the reason and everything else as text.
  platform::Dictionary fieldDictionary() const;

  // The same fields, each as text: the date in the shared date format, the
  // flag as "true"/"false", numbers in decimal.
  platform::Dictionary stringDictionary() const;

  // The named parameters of the process-list upsert (every column but
  // number_of_times_launched, which the statement sets itself), with `rid`.
  // Text parameters refer to this entry, which must outlive them.
  NamedParameters upsertParameters(std::int64_t rid) const;

  // A field's value as reflection over the fields in declaration order sees it.
  using FieldValue = std::variant<std::uint32_t, std::string_view, bool, platform::Date, std::int32_t, const VelmoraReason*>;
  struct Field {
    std::string_view name;
    FieldValue (*read)(const ProcessDataEntry&);
  };
  // Every field in declaration order.
  static std::span<const Field> fields();
  // The field called `name` (exact text), or nullptr when there is none.
  static const Field* field(std::string_view name);

  // What a name that is no field reads as.
  static constexpr std::string_view kNoValueForKey = "<ERROR> No Value For Key";
  // The value of the field called `name`; for a name that is no field the
  // text "<ERROR> No Value For Key". Texts refer into this entry.
  FieldValue fieldValue(std::string_view name) const;

  // Same launch identity: user and the three identity keys. Nothing else counts.
  bool operator==(const ProcessDataEntry& other) const {
    return process_uid == other.process_uid && process_hash == other.process_hash &&
           target_hash == other.target_hash && responsible_hash == other.responsible_hash;
  }
};

}  // namespace nimbra
