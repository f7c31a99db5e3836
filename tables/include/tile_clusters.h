// Counts the 8-connected clusters of "dark" cells of a tile that repeats at
// its edges: the toner dots a screen prints at one gray. Shared by the tile
// generator and the preview tool.
#pragma once

#include <vector>

template <typename IsDark>
int CountWrappedClusters(int w, int h, IsDark dark) {
  std::vector<char> seen(static_cast<std::size_t>(w) * h, 0);
  std::vector<int> stack;
  int clusters = 0;
  for (int s = 0; s < w * h; ++s) {
    if (seen[s] || !dark(s)) continue;
    ++clusters;
    seen[s] = 1;
    stack.push_back(s);
    while (!stack.empty()) {
      const int c = stack.back();
      stack.pop_back();
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int n = ((c / w + dy + h) % h) * w + (c % w + dx + w) % w;
          if (!seen[n] && dark(n)) seen[n] = 1, stack.push_back(n);
        }
      }
    }
  }
  return clusters;
}
