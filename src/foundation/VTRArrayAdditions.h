// Mapping over arrays: a new array holding the transform of each element, in order. The
// transform runs once per element, first to last, on the calling thread.
#pragma once

#include <functional>
#include <type_traits>
#include <vector>

namespace vtr {

template <typename T, typename Transform>
auto arrayByMappingWithTransform(const std::vector<T>& array, Transform&& transform)
    -> std::vector<std::decay_t<std::invoke_result_t<Transform&, const T&>>> {
    std::vector<std::decay_t<std::invoke_result_t<Transform&, const T&>>> mapped;
    mapped.reserve(array.size());
    for (const T& element : array) mapped.push_back(std::invoke(transform, element));
    return mapped;
}

}  // namespace vtr
