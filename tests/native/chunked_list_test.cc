#include "engine/chunked_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace korvane {
namespace {

// Random appends, pops, resizes and moves across many chunk bounds, mirrored on a
// std::vector; elements are move-only, and none moves once it is in the list.
TEST(ChunkedList, BehavesAsAVectorWhoseElementsStayPut) {
  std::mt19937 random(5);
  ChunkedList<std::unique_ptr<int>> list;
  std::vector<int> model;
  std::vector<const std::unique_ptr<int>*> addresses;
  int next = 0;
  for (int step = 0; step < 3000; ++step) {
    switch (random() % 8) {
      case 0:
        if (!model.empty()) {
          list.pop_back();
          model.pop_back();
          addresses.pop_back();
        }
        break;
      case 1: {
        const size_t n = random() % 300;
        list.resize(n);
        model.resize(n, -1);
        addresses.resize(n, nullptr);
        break;
      }
      case 2: {
        ChunkedList<std::unique_ptr<int>> moved(std::move(list));
        EXPECT_TRUE(list.empty());
        list = std::move(moved);
        break;
      }
      default:
        list.emplace_back(std::make_unique<int>(next));
        model.push_back(next++);
        addresses.push_back(nullptr);
        break;
    }
    ASSERT_EQ(list.size(), model.size());
    for (size_t i = 0; i < model.size(); ++i) {
      const std::unique_ptr<int>& element = list[i];
      ASSERT_EQ(element ? *element : -1, model[i]) << "step " << step << ", index " << i;
      if (addresses[i] == nullptr) addresses[i] = &element;
      ASSERT_EQ(addresses[i], &element) << "an element moved";
    }
    size_t walked = 0;
    for (const std::unique_ptr<int>& element : std::as_const(list)) {
      ASSERT_EQ(&element, &list[walked++]);
    }
    ASSERT_EQ(walked, model.size());
  }
}

}  // namespace
}  // namespace korvane
