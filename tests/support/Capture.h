#pragma once
// What a piece of code throws, for checks of an error's class, code and composed text.
#include "runtime/Exception.h"
#include "support/TestBed.h"

#include <optional>
#include <string>

namespace testbed {

// The exception of type E (a vexception class) that body throws; empty when it returns or
// throws something else.
template <typename E = vexception, typename Body>
std::optional<E> thrown(Body&& body)
{
    try {
        body();
    } catch (const E& error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

// The composed text of the vexception that body throws, its line numbers as "#"; "no error"
// when body returns.
template <typename Body>
std::wstring thrownText(Body&& body)
{
    const std::optional<vexception> error = thrown(std::forward<Body>(body));
    return error ? withoutLines(error->fullText()) : L"no error";
}

} // namespace testbed
