// The request history (see history.hpp).
#include "history.hpp"

#include <algorithm>

#include "flows.hpp"
#include "json.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

// The entry with this id, or end(); the lock is held.
std::deque<HistoryEntry>::iterator find_locked(History& h, uint64_t id) {
  auto it = std::lower_bound(h.entries.begin(), h.entries.end(), id,
                             [](const HistoryEntry& e, uint64_t wanted) { return e.id < wanted; });
  return it != h.entries.end() && it->id == id ? it : h.entries.end();
}

std::string entry_json(const HistoryEntry& e) {
  JsonObject json;
  json.add("operation", short_name(e.op)).add("time", e.time);
  json.add_units("correlation_id", Text(e.correlation_id));
  const bool auth = e.op != Op::ReadAccountByIdAsync && e.op != Op::SignOutSilentlyAsync &&
                    e.op != Op::DiscoverAccountsAsync;
  if (auth) {
    JsonObject params;
    for (int f = 0; f < kAuthFieldCount; ++f) {
      params.add_units(auth_field_name(static_cast<AuthField>(f)), e.params.fields[f]);
    }
    json.add_raw("parameters", params.str());
    std::string pairs = "[";
    for (const auto& [key, value] : e.params.additional) {
      pairs.append(pairs.size() > 1 ? ",[" : "[").append(json_units(key));
      pairs.append(",").append(json_units(value)).append("]");
    }
    pairs.append("]");
    json.add_raw("additional_parameters", pairs);
  } else {
    json.add_units("client_id", e.client_id.empty() ? Text() : Text(e.client_id));
  }
  json.add_units("account_hint", e.account_hint).add_units("account", e.account);
  json.add_raw("window", e.window ? std::to_string(*e.window) : "null");
  json.add_units("account_id", e.op == Op::ReadAccountByIdAsync ? Text(e.account_id) : Text());
  json.add_raw("completed", e.completed ? "true" : "false");
  json.add_raw("status", e.status ? std::to_string(*e.status) : "null");
  std::string routes = "[";
  for (const uint64_t route : e.routes) {
    routes.append(routes.size() > 1 ? "," : "").append(std::to_string(route));
  }
  json.add_raw("routes", routes + "]");
  return json.str();
}

}  // namespace

void History::reset() {
  std::lock_guard lock(mutex);
  entries.clear();
}

uint64_t record_request(State& st, const Request& r) {
  HistoryEntry entry;
  entry.op = r.op;
  entry.time = st.clock.now();
  entry.params = r.params;
  entry.correlation_id = r.correlation_id;
  entry.account_hint = r.account_hint;
  entry.window = r.window;
  if (r.account) entry.account = r.account->key;  // a key never changes: no lock needed
  entry.account_id = r.account_id;
  entry.client_id = r.client_id;
  History& h = st.history;
  std::lock_guard lock(h.mutex);
  entry.id = h.next_id++;
  if (h.entries.size() >= History::kLimit) h.entries.pop_front();
  h.entries.push_back(std::move(entry));
  return h.entries.back().id;
}

void forget_request(State& st, uint64_t id) {
  History& h = st.history;
  std::lock_guard lock(h.mutex);
  if (auto entry = find_locked(h, id); entry != h.entries.end()) h.entries.erase(entry);
}

void request_completed(State& st, uint64_t id, std::optional<int32_t> status) {
  History& h = st.history;
  std::lock_guard lock(h.mutex);
  if (auto entry = find_locked(h, id); entry != h.entries.end()) {
    entry->completed = true;
    entry->status = status;
  }
}

void note_route(State& st, uint64_t id, uint64_t route) {
  History& h = st.history;
  std::lock_guard lock(h.mutex);
  if (auto entry = find_locked(h, id); entry != h.entries.end()) entry->routes.push_back(route);
}

std::string history_json(State& st, int32_t* count) {
  std::deque<HistoryEntry> copy;
  {
    History& h = st.history;
    std::lock_guard lock(h.mutex);
    copy = h.entries;
  }
  std::string out = "[";
  for (const auto& entry : copy) {
    if (out.size() > 1) out += ",\n";
    out += entry_json(entry);
  }
  if (count != nullptr) *count = static_cast<int32_t>(copy.size());
  return out + "]";
}

}  // namespace vessaemu
