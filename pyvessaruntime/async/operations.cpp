// The asynchronous operations: sign-in, tokens, and the account operations.
#include "module/registry.hpp"

namespace pvr {

const FunctionTable read_account_functions;
const FunctionTable signin_functions;
const FunctionTable account_operation_functions;
const FunctionTable token_functions;

}  // namespace pvr
