#pragma once
// A visitor made of one lambda per alternative, for std::visit: with one
// case per alternative and no catch-all, a new alternative does not compile
// until every visit gives it its own case.

namespace zunel {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace zunel
