// Everything the exec step binds into the module, declared in one place.
//
// Each subsystem defines its classes, method tables and function tables in its own files; the
// exec step (PyVessaRuntime.cpp) binds them in the module's fixed order.
#pragma once

#include "common/python.hpp"

#include "common/function.hpp"

namespace pvr {

// The ten classes, in registration order.
extern PyTypeObject LogCallbackHandleType;
extern PyTypeObject AsyncHandleType;
extern PyTypeObject AccountType;
extern PyTypeObject AuthParametersType;
extern PyTypeObject AuthResultType;
extern PyTypeObject SignOutResultType;
extern PyTypeObject ReadAccountResultType;
extern PyTypeObject DiscoverAccountsResultType;
extern PyTypeObject ErrorType;
extern PyTypeObject NativeStringType;

// Their Python-visible methods, without the pickling hooks.
extern const FunctionTable log_callback_handle_methods;
extern const FunctionTable async_handle_methods;
extern const FunctionTable account_methods;
extern const FunctionTable auth_parameters_methods;
extern const FunctionTable auth_result_methods;
extern const FunctionTable signout_result_methods;
extern const FunctionTable read_account_result_methods;
extern const FunctionTable discover_accounts_result_methods;
extern const FunctionTable error_methods;
extern const FunctionTable native_string_methods;

// Module-level functions, one table per binding step.
extern const FunctionTable window_functions;        // get_console_window, get_desktop_window
extern const FunctionTable encoding_functions;      // _get_encoded_bytes
extern const FunctionTable event_functions;         // _get_VESSARuntime_event
extern const FunctionTable read_account_functions;  // read_account_by_id
extern const FunctionTable signin_functions;        // signin, signin_silently, signin_interactively
extern const FunctionTable account_operation_functions;  // signout_silently, discover_accounts
extern const FunctionTable token_functions;  // acquire_token_silently, acquire_token_interactively
extern const FunctionTable logging_functions;  // register_logging_callback, set_is_pii_enabled
extern const FunctionTable
    lifecycle_functions;  // get_sso_policy, _startup_vessaruntime, _shutdown_vessaruntime

// Unreadies the ten classes and the function types, for the next owner of the module; with
// `release`, in the owner, what readying made goes (forget_readied).
void forget_classes(bool release);

// Module-level classes written in terms of Python objects.
bool define_enumerations();           // Response_Status, LogLevel, SsoPolicyType
bool define_callback_record_class();  // _VESSARuntimeCallBackData
bool define_callback_data_class();    // CallbackData

}  // namespace pvr
