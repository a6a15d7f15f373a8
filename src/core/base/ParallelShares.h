// Work on items [0, n) shared out among the processors: share(k, from, to)
// runs for each share k of ShareCount(n, least), at least `least` items
// each, the first share on the calling thread. Where a thread cannot start,
// its share runs here. An exception thrown by a share is raised again once
// every share has ended.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace qf {

inline std::size_t ShareCount(std::size_t n, std::size_t least) {
  return std::clamp<std::size_t>(
      std::min<std::size_t>(n / std::max<std::size_t>(least, 1), std::thread::hardware_concurrency()), 1, 8);
}

template <class Share>
void RunInShares(std::size_t n, std::size_t least, Share share) {
  const std::size_t shares = ShareCount(n, least);
  const std::size_t each = (n + shares - 1) / shares;
  std::vector<std::exception_ptr> failures(shares);
  const auto run = [&](std::size_t k) {
    try {
      share(k, k * each, std::min(n, (k + 1) * each));
    } catch (...) {
      failures[k] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t k = 1; k < shares; ++k) {
    try {
      helpers.emplace_back(run, k);
    } catch (const std::system_error&) {
      run(k);
    }
  }
  run(0);
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace qf
