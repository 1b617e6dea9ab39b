// The one single-owner template: every handle, key, descriptor or string the
// code owns is a UniqueAny whose traits give the empty value and the closing
// call. Includes nothing of ours, so every layer may use it.
//
//   struct HandleTraits
//   {
//       using Type = HANDLE;
//       static Type Invalid() { return nullptr; }
//       static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
//       static void Close(Type h) { CloseHandle(h); }
//   };
//   using ScopedHandle = UniqueAny<HandleTraits>;
#pragma once

#include <utility>

namespace Groundwork {

template <typename Traits>
class UniqueAny
{
public:
    using Type = typename Traits::Type;

    UniqueAny() = default;
    explicit UniqueAny(Type value) noexcept : m_value(value) {}
    ~UniqueAny() { reset(); }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    static bool IsValid(Type value) { return Traits::IsValid(value); }
    bool valid() const { return Traits::IsValid(m_value); }
    explicit operator bool() const { return valid(); }

    Type get() const { return m_value; }

    // Takes `value` first, then closes the one held before (unless it is the
    // same: resetting to what is held keeps it open).
    void reset(Type value = Traits::Invalid()) noexcept
    {
        const Type old = std::exchange(m_value, value);
        if (Traits::IsValid(old) && old != value)
            Traits::Close(old);
    }

    // Gives up ownership without closing.
    [[nodiscard]] Type release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    // For out-parameters: closes what is held and hands out the empty slot.
    Type* put() noexcept
    {
        reset();
        return &m_value;
    }

    // The slot itself, without closing what it holds.
    Type* addressof() noexcept { return &m_value; }
    const Type* addressof() const noexcept { return &m_value; }

private:
    Type m_value = Traits::Invalid();
};

// Traits for the common case: `Type` is a pointer or handle that is empty when
// null, closed by `Close`. `Close` is a function of our own (often an inline
// wrapper): the address of an imported function is not a constant every
// compiler accepts as a template argument.
template <typename T, void (*CloseFn)(T)>
struct NullTraits
{
    using Type = T;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { CloseFn(value); }
};

template <typename T, void (*CloseFn)(T)>
using UniqueNull = UniqueAny<NullTraits<T, CloseFn>>;

}  // namespace Groundwork
