// Compile-time checks of the emulator's counted references (tests/test_native.py compiles this
// file): a Ref converts implicitly up the hierarchy only; a downcast takes ref_cast.
#include <type_traits>

#include "ref.hpp"

namespace {

using vessaemu::Ref;

struct Base : vessaemu::RefCounted {
  virtual ~Base() = default;
};
struct Derived : Base {};
struct Unrelated : vessaemu::RefCounted {
  virtual ~Unrelated() = default;
};

static_assert(std::is_convertible_v<const Ref<Derived>&, Ref<Base>>);
static_assert(std::is_convertible_v<Ref<Derived>&&, Ref<Base>>);
static_assert(!std::is_constructible_v<Ref<Derived>, const Ref<Base>&>);
static_assert(!std::is_constructible_v<Ref<Derived>, Ref<Base>&&>);
static_assert(!std::is_constructible_v<Ref<Unrelated>, const Ref<Base>&>);
static_assert(std::is_same_v<decltype(vessaemu::ref_cast<Derived>(Ref<Base>())), Ref<Derived>>);

}  // namespace
