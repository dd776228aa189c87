// Benchmark of the public folder tree walk over the store provider: the smallest single
// folder query on one connection (open and GetRows of one folder; the floor) against the
// walk of a tree of 1,000 folders, which runs one such query per folder and the root's.
// Each round measures both; the ratio printed is the median over the rounds of the walk
// against 1,000 times the floor of the same round.
//
//   build/bin/folder_walk_bench [ROUNDS]
//
// It makes a machine root in a temporary folder with the tree (10 folders, each with 9
// subfolders of 10 subfolders each) and an information store key, and removes it at the end.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mailstore/folder_tree.h"
#include "platform/registry.h"
#include "platform/store_provider.h"
#include "platform/variant.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 1000;

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

double Microseconds(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

uint32_t Count(const char16_t*, const char16_t*, void*, void* context) {
  ++*static_cast<int*>(context);
  return 0;
}

// The folders as Maildir++ stems ("f3.g4.h5"), parents first.
std::vector<std::string> Tree() {
  std::vector<std::string> stems;
  for (int a = 0; a < 10; ++a) {
    const std::string top = "f" + std::to_string(a);
    stems.push_back(top);
    for (int b = 0; b < 9; ++b) {
      const std::string middle = top + ".g" + std::to_string(b);
      stems.push_back(middle);
      for (int c = 0; c < 10; ++c) stems.push_back(middle + ".h" + std::to_string(c));
    }
  }
  return stems;
}

std::u16string FolderUrl(const std::string& stem) {
  std::u16string url = platform::kPublicFolderRootUrl;
  url += u'/';
  for (char c : stem) url += c == '.' ? u'/' : static_cast<char16_t>(c);
  return url;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::max(1, argc > 1 ? std::atoi(argv[1]) : 15);
  char pattern[] = "/tmp/cvfwbench-XXXXXX";
  const fs::path root = mkdtemp(pattern);
  setenv("CORVANE_ROOT", root.c_str(), 1);
  const std::vector<std::string> stems = Tree();
  for (const std::string& stem : stems) fs::create_directories(root / "mail/public" / ("." + stem));
  platform::RegistryKey key;
  platform::LocalMachine().CreateKey(
      "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\BENCH01\\"
      "Private-0b7e5c3a-41d2-4f8e-9a6b-2c1d0e9f8a75",
      platform::kKeyAllAccess, &key);
  // Past the window in which the provider distrusts the root's fresh time stamps.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  int status = 1;
  std::unique_ptr<platform::AdoConnection> connection;
  platform::CreateAdoConnection(mailstore::kStorageSettingsKey, &connection);
  connection->SetProvider(platform::kExOleDbProvider);
  if (connection->Open(platform::kPublicFolderRootUrl, u"", u"", -1) != 0) {
    std::fprintf(stderr, "folder_walk_bench: the public folder root could not be opened\n");
  } else {
    std::vector<std::u16string> queries;
    for (const std::string& stem : stems) {
      queries.push_back(u"select \"DAV:contentclass\", \"DAV:displayname\", \"DAV:href\" from \"" +
                        FolderUrl(stem) + u"\" where \"DAV:isfolder\" = True");
    }
    // The floor: the cheapest query of any folder, over every round.
    auto query_us = [&](const std::u16string& query) {
      const auto start = Clock::now();
      std::unique_ptr<platform::AdoRecordset> set;
      platform::CreateAdoRecordset(&set);
      set->SetCursorLocation(platform::kAdUseClient);
      platform::Variant rows;
      if (set->Open(query, connection.get(), -1, -1, -1) == 0) set->GetRows(-1, &rows);
      set->Close();
      return Microseconds(start);
    };
    int reported = 0;
    mailstore::EnumFoldersTree(&Count, 0, &reported);  // warm up
    // Floor and walk alternate within each round, so both see the machine in the same state.
    // Beside the floor, the same 1,000 queries one after the other (what a caller without the
    // walk would run): the walk against their sum is what the walk adds to its queries.
    std::vector<double> floors, walks, ratios, sums, sum_ratios;
    for (int round = 0; round < rounds; ++round) {
      double floor = 1e30, sum = 0;
      for (const std::u16string& query : queries) {
        const double us = query_us(query);
        floor = std::min(floor, us);
        sum += us;
      }
      reported = 0;
      const auto start = Clock::now();
      mailstore::EnumFoldersTree(&Count, 0, &reported);
      floors.push_back(floor);
      sums.push_back(sum / 1e3);
      walks.push_back(Microseconds(start) / 1e3);
      ratios.push_back(walks.back() * 1e3 / (kFolders * floor));
      sum_ratios.push_back(walks.back() / sums.back());
    }
    status = reported == kFolders ? 0 : 1;
    const double floor = Median(floors);
    std::printf("folders reported: %d of %d (medians of %d rounds)\n", reported, kFolders,
                rounds);
    std::printf("%-44s %10.2f us\n", "floor: smallest single folder query", floor);
    std::printf("%-44s %10.2f ms\n", "1,000 x floor", kFolders * floor / 1e3);
    std::printf("%-44s %10.2f ms %6.2f x (1,000 x floor of its round); %.2f-%.2f x\n",
                "walk of 1,000 folders", Median(walks), Median(ratios),
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    std::printf("%-44s %10.2f ms %6.2f x (the walk against their sum); %.2f-%.2f x\n",
                "the 1,000 queries one after the other", Median(sums), Median(sum_ratios),
                *std::min_element(sum_ratios.begin(), sum_ratios.end()),
                *std::max_element(sum_ratios.begin(), sum_ratios.end()));
  }
  connection.reset();
  platform::ReleaseLocalMachine();
  fs::remove_all(root);
  return status;
}
