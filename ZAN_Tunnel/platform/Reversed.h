#pragma once

// A container walked from its last element to its first in a range-for.
// std::views::reverse would do, but the fuzzing build's compiler rejects it
// over this standard library.

namespace zan {

template <typename Container>
struct Reversed {
    explicit Reversed(const Container& walked) : container(walked) {}
    const Container& container;
    auto begin() const { return container.rbegin(); }
    auto end() const { return container.rend(); }
};

template <typename Container>
Reversed(const Container&) -> Reversed<Container>;

}  // namespace zan
