// Reading a result's values in one go: every runtime query of the getters the layer reads, in
// one stretch without the interpreter lock, then the values made from the answers in order,
// each exactly as its getter makes it (the same code).
//
// A stretch ends early at an answer that needs Python to judge: a failure (its value is then
// the getter's exception, whose own queries run as the getter's do) or an answer after which the
// layer reads no more. Should a failure turn out to be none after all (a tolerated status whose
// enumeration another thread rebound meanwhile), reading goes on with a new stretch, so the
// queries are always those the getters would make, in their order.
#include "handles/result_reader.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/gil.hpp"
#include "common/ref.hpp"
#include "handles/handle_object.hpp"
#include "handles/result_getters.hpp"
#include "marshal/errors.hpp"
#include "marshal/string_getter.hpp"
#include "module/enumerations.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using ResultHandle = VESSARUNTIME_AUTH_RESULT_HANDLE;
using AccountHandle = VESSARUNTIME_ACCOUNT_HANDLE;

// What a step asks for and how its answer becomes a value.
enum class Kind : uint8_t {
  kCarriedError,  // get_error
  kAccount,       // get_account
  kText,          // a string getter of the result
  kTelemetry,     // get_telemetry_data
  kScopes,        // get_granted_scopes
  kExpiry,        // get_access_token_expiry_time
  kIsPop,         // is_pop_authorization
  kAccountId,     // get_account_id
  kAccountText,   // another string getter of the account
};

struct Step {
  Kind kind;
  StringGetter<ResultHandle> result_text = nullptr;
  StringGetter<AccountHandle> account_text = nullptr;
};

// The account's properties, in the layer's order.
const Step kAccountPlan[] = {
    {Kind::kAccountId, nullptr, VESSARUNTIME_GetAccountId},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetHomeAccountId},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetEnvironment},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetRealm},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetLocalAccountId},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetUserName},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetGivenName},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetFamilyName},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetMiddleName},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetDisplayName},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetAdditionalFieldsJson},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetHomeEnvironment},
    {Kind::kAccountText, nullptr, VESSARUNTIME_GetClientInfo},
};

// An auth result's: its own up to the ID token, its account's, then is_pop_authorization.
const Step kResultPlan[] = {
    {Kind::kCarriedError},
    {Kind::kAccount},
    {Kind::kTelemetry, VESSARUNTIME_GetTelemetryData},
    {Kind::kText, VESSARUNTIME_GetRawIdToken},
    {Kind::kText, VESSARUNTIME_GetAccessToken},
    {Kind::kText, VESSARUNTIME_GetAuthorizationHeader},
    {Kind::kExpiry},
    {Kind::kScopes, VESSARUNTIME_GetGrantedScopes},
    {Kind::kText, VESSARUNTIME_GetIdToken},
};

constexpr std::size_t kMaxSteps = std::size(kResultPlan) + std::size(kAccountPlan) + 1;

const std::array<Step, kMaxSteps> kTokenPlan = [] {
  std::array<Step, kMaxSteps> plan{};
  auto next = std::copy(std::begin(kResultPlan), std::end(kResultPlan), plan.begin());
  next = std::copy(std::begin(kAccountPlan), std::end(kAccountPlan), next);
  *next = {Kind::kIsPop};
  return plan;
}();

// What the runtime answered to one step. A value query's out slot is kept only when the query
// reported no failure: otherwise it means nothing, as for the getters.
struct Answer {
  OwnedError failure;  // what a value query returned
  OwnedError carried;
  OwnedAccount account;
  int64_t expiry = 0;
  int32_t is_pop = 0;
  StringAnswers text;
};

// The texts share one buffer on the stack, each starting on a block boundary (string reads zero
// their buffer in blocks); a text that does not fit goes to the heap.
constexpr int32_t kBufferUnits = 2048;
constexpr int32_t kBlockUnits = 32;

class Reader {
 public:
  Reader(const Step* plan, std::size_t steps, ResultHandle result, AccountHandle account)
      : plan_(plan), steps_(steps), result_(result), account_(account) {}

  std::size_t steps() const { return steps_; }

  // Asks for the answers of the steps from `first` on, without the interpreter lock, until one
  // needs Python to judge it; returns the index after the last step asked.
  std::size_t ask(std::size_t first) {
    for (std::size_t i = first; i < steps_; ++i) {
      if (!ask_step(plan_[i], answers_[i])) return i + 1;
    }
    return steps_;
  }

  // The value of step `i` (a new reference), or null with the exception its getter raises.
  PyObject* value(std::size_t i) {
    Answer& answer = answers_[i];
    // A value query's failure (a text query keeps its own in its answers; null passes).
    if (!check_error(answer.failure.release())) return nullptr;
    switch (plan_[i].kind) {
      case Kind::kCarriedError:
        if (answer.carried) return wrap_error(answer.carried.release()).release();
        Py_RETURN_NONE;
      case Kind::kAccount:
        if (answer.account) return new_account(std::move(answer.account));
        Py_RETURN_NONE;
      case Kind::kExpiry:
        return expiry_time_value(answer.expiry);
      case Kind::kIsPop:
        return PyLong_FromLong(answer.is_pop);
      case Kind::kText:
      case Kind::kAccountId:
      case Kind::kAccountText:
        return string_from_answers(read_of(plan_[i]), answer.text);
      case Kind::kTelemetry:
      case Kind::kScopes: {
        Ref text = Ref::steal(string_from_answers(read_of(plan_[i]), answer.text));
        if (!text) return nullptr;
        return plan_[i].kind == Kind::kTelemetry
                   ? telemetry_value(text.get(), NoTelemetry::kEmptyDict)
                   : granted_scopes_value(text.get());
      }
    }
    return nullptr;
  }

  // Whether the layer reads no more after step `i`, whose value is `value`.
  bool ends_reading(std::size_t i, PyObject* value) const {
    switch (plan_[i].kind) {
      case Kind::kCarriedError:
        return value != Py_None;
      case Kind::kAccount:
        return value == Py_None;
      case Kind::kAccountId:
        return value == Py_None || PyUnicode_GET_LENGTH(value) == 0;
      default:
        return false;
    }
  }

 private:
  StringRead read_of(const Step& step) const {
    return step.account_text ? string_read(step.account_text, account_)
                             : string_read(step.result_text, result_);
  }

  // Without the interpreter lock: false when the answer needs Python to judge it.
  bool ask_step(const Step& step, Answer& answer) {
    switch (step.kind) {
      case Kind::kCarriedError: {
        VESSARUNTIME_ERROR_HANDLE carried = nullptr;
        answer.failure = OwnedError(VESSARUNTIME_GetError(result_, &carried));
        if (answer.failure) return false;
        answer.carried = OwnedError(carried);
        return !carried;
      }
      case Kind::kAccount: {
        VESSARUNTIME_ACCOUNT_HANDLE account = nullptr;
        answer.failure = OwnedError(VESSARUNTIME_GetAccount(result_, &account));
        if (answer.failure) return false;
        answer.account = OwnedAccount(account);
        account_ = account;
        return account != nullptr;
      }
      case Kind::kExpiry:
        answer.failure = OwnedError(VESSARUNTIME_GetAccessTokenExpiryTime(result_, &answer.expiry));
        return !answer.failure;
      case Kind::kIsPop:
        answer.failure = OwnedError(VESSARUNTIME_IsPopAuthorization(result_, &answer.is_pop));
        return !answer.failure;
      default:
        break;
    }
    StringAnswers& text = answer.text;
    ask_for_string(read_of(step), buffer_ + used_, kBufferUnits - used_, text);
    if (text.units && !text.heap)
      used_ += (text.capacity + kBlockUnits - 1) / kBlockUnits * kBlockUnits;
    if (text.failed()) return false;
    return step.kind != Kind::kAccountId || !text.no_text();
  }

  const Step* plan_;
  std::size_t steps_;
  ResultHandle result_;
  AccountHandle account_;
  std::array<Answer, kMaxSteps> answers_;
  os_char buffer_[kBufferUnits];
  int32_t used_ = 0;
};

// The values of the plan's steps as a tuple, ending where the layer reads no more.
PyObject* read_values(Reader& reader) {
  std::array<Ref, kMaxSteps> values;
  std::size_t next = 0, count = reader.steps();
  while (next < count) {
    const std::size_t asked = without_gil([&] { return reader.ask(next); });
    for (; next < asked && next < count; ++next) {
      values[next] = Ref::steal(reader.value(next));
      if (!values[next]) return nullptr;
      if (reader.ends_reading(next, values[next].get())) count = next + 1;
    }
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i)
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), values[i].release());
  return tuple;
}

// Only the module's own classes, whose methods are these getters; and only while the tolerated
// status of the string protocol is a value (string reads with a rebound `Response_Status` judge
// it as a Python object between their two queries).
bool readable(PyObject* object, PyTypeObject* type) {
  return Py_IS_TYPE(object, type) && enumeration_unchanged(Enumeration::kResponseStatus);
}

}  // namespace

PyObject* read_token(PyObject* result) {
  if (!readable(result, &AuthResultType)) Py_RETURN_NOTIMPLEMENTED;
  // A result's handle is released only with its object, which the caller's reference keeps.
  Reader reader(kTokenPlan.data(), kTokenPlan.size(), handle_of<ResultHandle>(result), nullptr);
  return read_values(reader);
}

PyObject* read_account(PyObject* account) {
  if (!readable(account, &AccountType)) Py_RETURN_NOTIMPLEMENTED;
  Reader reader(kAccountPlan, std::size(kAccountPlan), nullptr, handle_of<AccountHandle>(account));
  return read_values(reader);
}

}  // namespace pvr
