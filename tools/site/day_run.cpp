#include "site/day_run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "base/interruption.hpp"
#include "base/sha256.hpp"
#include "base/text.hpp"
#include "common/command_line.hpp"
#include "common/zones.hpp"
#include "exception.hpp"
#include "files/file_output.hpp"
#include "recording/line_feed.hpp"
#include "replay/replay.hpp"
#include "result/result.hpp"
#include "site/day_tally.hpp"
#include "site/loading.hpp"
#include "site/site_config.hpp"
#include "site/store.hpp"

namespace vela::site_tool {
namespace {
constexpr const char* program = "vela-site";

// The recording's content as it goes by, hashed on the thread that reads it: the run's identity.
class hashing_source : public byte_source {
 public:
  explicit hashing_source(byte_source& _inner) : m_inner(_inner) {}
  outcome read(char* _buffer, std::size_t _capacity) override {
    outcome got = m_inner.read(_buffer, _capacity);
    if (got.what == outcome::kind::bytes) {
      m_hash.update(_buffer, got.count);
    }
    return got;
  }
  // Once the reading has ended.
  std::string digest() { return hex(m_hash.final()); }

 private:
  byte_source& m_inner;
  sha256 m_hash;
};

// The replay's events go to the result document and to the tally alike.
class both_sinks : public event_sink {
 public:
  both_sinks(event_sink& _first, event_sink& _second) : m_first(_first), m_second(_second) {}
  void event_final(const event_record& _event) override {
    m_first.event_final(_event);
    m_second.event_final(_event);
  }
  void run_committed() override {}
  void run_abandoned() override {}

 private:
  event_sink& m_first;
  event_sink& m_second;
};

// A run ended early, with its status; the message was told already.
struct ended {
  int status;
};

[[noreturn]] void end(int _status, const std::string& _message) {
  tools::complain(program, _message);
  throw ended{_status};
}

std::string hours(std::int64_t _ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(_ms) / 3600000.0);
  return text;
}

std::string now_utc() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

input_facts facts_of(const input_file& _file, std::uint64_t _size, const std::string& _sha256) {
  return {_file.name, _size, _sha256};
}

std::uint64_t file_size(const std::string& _path) {
  struct stat status {};
  return ::stat(_path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// The zones of the site, and the names the page is told to leave out among them.
std::unique_ptr<tools::zone_map> read_zones(const site_config& _config, std::string& _sha256) {
  if (!_config.zones) {
    if (!_config.report_ignore_zones.empty()) {
      throw config_error(terminal_safe(_config.file) +
                         ": \"report.ignore_zones\" names zones of a site without \"zones\"");
    }
    return nullptr;
  }
  std::unique_ptr<tools::zone_map> zones;
  try {
    zones = std::make_unique<tools::zone_map>(tools::zone_map::read_file(*_config.zones));
  } catch (const tools::zone_error& e) {
    throw config_error(terminal_safe(*_config.zones) + ": " + e.what());
  }
  for (const std::string& name : _config.report_ignore_zones) {
    bool known = false;
    for (const tools::zone& zone : zones->zones()) {
      known = known || zone.name == name;
    }
    if (!known) {
      throw config_error(terminal_safe(_config.file) + ": \"report.ignore_zones\" names \"" +
                         terminal_safe(name) + "\", which is no zone of " +
                         terminal_safe(*_config.zones));
    }
  }
  input_file file{*_config.zones};
  file.wants_digest = true;
  std::string text;
  std::string error;
  read_whole_file(file, text, error, std::uint64_t{64} << 20);
  _sha256 = file.sha256;
  return zones;
}

int run(const day_run_options& _options) {
  const char* environment_store = std::getenv("VELA_STORE");
  const site_config config = read_site_config(
      _options.config,
      environment_store != nullptr ? std::optional<std::string>(environment_store) : std::nullopt);
  const std::optional<std::string> trackables =
      _options.trackables ? _options.trackables : config.trackables;
  if (!trackables) {
    throw config_error(terminal_safe(config.file) +
                       ":1: \"trackables\" is missing (or give vela-site run -t FILE)");
  }
  std::string zones_sha256;
  const std::unique_ptr<tools::zone_map> zones = read_zones(config, zones_sha256);

  // The inputs, read as vela reads them: its statuses and messages.
  site loaded;
  const input_names names{_options.positions, *trackables, _options.associations};
  plain_loading loader(loaded, names);
  loaded_files files;
  files.trackables.wants_digest = true;
  files.associations.wants_digest = true;
  if (const exit_code res = load_in_order(loader, names, files); res != exit_code::SYNC_SUCCESS) {
    return static_cast<int>(res);
  }
  store history(config, true);

  // The replay, the result and the tally in one pass.
  boost::system::error_code made;
  boost::filesystem::create_directories(config.results, made);
  const std::string provisional = config.results + "/.run-" + std::to_string(::getpid()) + ".json";
  result document(loaded, provisional);
  document.hashed();
  document.begin(files.read());
  day_tally tally(loaded, config, zones.get());
  both_sinks sinks(document, tally);
  hashing_source recording(files.positions);
  std::string recording_sha256;
  std::uint64_t lines_read = 0;
  try {
    const bool threaded = line_feed::second_core_available();
    if (threaded) {
      files.positions.decompress_ahead();
    }
    replay detection(loaded, run_rules{config.threshold_mm});
    {
      line_feed feed(recording, files.positions.buffer_bytes(), loaded, threaded);
      while (const line_batch* batch = feed.next()) {
        tally.lines(batch->lines);  // the second consumer of the lines, beside the replay
        detection.feed(batch->lines, sinks);
      }
      lines_read = feed.counts().lines_read;
      if (const std::string why = feed.counts().refusal(_options.positions); !why.empty()) {
        throw vela::exception(why);
      }
    }
    detection.finish(sinks);
    tally.finish();
    recording_sha256 = recording.digest();
  } catch (const std::exception& e) {
    document.run_abandoned();
    std::cerr << e.what() << std::endl;
    return static_cast<int>(exit_code::SYNC_FAILURE_UNKNOWN);
  }
  files.positions.close();
  if (tally.lines_accepted() == 0) {
    document.run_abandoned();
    end(1, terminal_safe(_options.positions) +
               ": not one line of an object of the site: a day without a line has nothing to "
               "store");
  }

  // A recording stored already, or a day that overlaps a stored one: refused unless replaced.
  const std::vector<stored_run> colliding =
      history.colliding(recording_sha256, tally.first(), tally.last());
  for (const stored_run& other : colliding) {
    if (other.recording_sha256 == recording_sha256 || !_options.replace) {
      document.run_abandoned();
      end(already_stored_status,
          terminal_safe(_options.positions) +
              (other.recording_sha256 == recording_sha256
                   ? ": the same recording as run " + std::to_string(other.id) + " (" + other.day +
                         "), stored already"
                   : ": its time overlaps run " + std::to_string(other.id) + " (" + other.day +
                         "); --replace replaces it"));
    }
  }

  try {
    document.complete();
  } catch (const std::exception& e) {
    std::cerr << "Error writing file:" << provisional << " (" << e.what() << ")" << std::endl;
    return static_cast<int>(exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE);
  }
  const std::string result_sha256 = hex(document.digest());
  const std::string result_path =
      config.results + "/" + tally.day() + "-" + result_sha256.substr(0, 12) + ".json";
  run_facts facts;
  facts.recording_sha256 = recording_sha256;
  facts.positions = facts_of(files.positions.record(), file_size(_options.positions), recording_sha256);
  facts.trackables = facts_of(files.trackables, files.trackables.bytes_read, files.trackables.sha256);
  facts.associations =
      facts_of(files.associations, files.associations.bytes_read, files.associations.sha256);
  facts.zones_sha256 = zones_sha256;
  facts.lines_read = lines_read;
  facts.result_path = result_path;
  facts.result_sha256 = result_sha256;
  facts.stored_at = now_utc();

  std::int64_t run_id = 0;
  history.begin();
  try {
    for (const stored_run& other : colliding) {
      history.remove_run(other.id);
    }
    run_id = history.insert_run(facts, tally, loaded, zones.get());
  } catch (const store_error&) {
    history.rollback();
    document.run_abandoned();
    if (!history.colliding(recording_sha256, tally.first(), tally.first()).empty()) {
      end(already_stored_status, terminal_safe(_options.positions) +
                                     ": the same recording was stored meanwhile by another run");
    }
    throw;
  }
  try {
    document.place_as(result_path);  // from here a signal waits
  } catch (const std::exception& e) {
    history.rollback();
    std::cerr << "Error writing file:" << result_path << " (" << e.what() << ")" << std::endl;
    return static_cast<int>(exit_code::SYNC_FAILURE_WRITING_OUTPUT_FILE);
  }
  // Until the commit, a signal takes the renamed result away again: its name is new, so nothing
  // earlier goes with it.
  const int placed = ::open(result_path.c_str(), O_RDONLY | O_CLOEXEC);
  const int slot = interruption::hold_temporary(result_path.c_str(), placed);
  interruption::resume();
  interruption::defer();
  try {
    history.commit();
  } catch (const std::exception&) {
    interruption::forget_temporary(slot);
    ::unlink(result_path.c_str());
    if (placed >= 0) {
      ::close(placed);
    }
    throw;
  }
  interruption::forget_temporary(slot);
  if (placed >= 0) {
    ::close(placed);
  }
  const auto& exposure = tally.exposure();
  std::cout << tally.day() << ": " << tally.events().size() << " events ("
            << tally.events_of(event_kind::person_vehicle) << " person-vehicle, "
            << tally.events_of(event_kind::vehicle_vehicle) << " vehicle-vehicle); "
            << hours(exposure[vehicle_exposure]) << " vehicle-hours, "
            << hours(exposure[person_exposure]) << " person-hours ("
            << hours(exposure[driving_exposure]) << " driving); run " << run_id << ", "
            << terminal_safe(result_path) << std::endl;
  return 0;
}
}  // namespace

int run_day(const day_run_options& _options) {
  try {
    return run(_options);
  } catch (const ended& e) {
    return e.status;
  }
}
}  // namespace vela::site_tool
