#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/allow_list.h"

using namespace kestrel;

namespace {

sockaddr_in Peer(const char* address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  inet_pton(AF_INET, address, &peer.sin_addr);
  return peer;
}

struct AllowCase {
  std::string text;
  std::vector<const char*> allowed;
  std::vector<const char*> refused;
};

TEST(AllowListTest, AddressesAndRangesAllowExactlyTheirPeers) {
  const AllowCase cases[] = {
      {"10.0.0.7", {"10.0.0.7"}, {"10.0.0.6", "10.0.0.8", "7.0.0.10"}},
      {" 192.168.1.0/24 ,10.0.0.7", {"192.168.1.0", "192.168.1.255", "10.0.0.7"}, {"192.168.0.255", "192.168.2.0"}},
      {"192.168.1.77/24", {"192.168.1.3"}, {"192.168.2.77"}},  // host bits do not matter
      {"0.0.0.0/0", {"1.2.3.4", "255.255.255.255"}, {}},
      {"127.0.0.1/32", {"127.0.0.1"}, {"127.0.0.2"}},
      {"128.0.0.0/1", {"200.1.1.1"}, {"127.255.255.255"}},
  };
  for (const AllowCase& c : cases) {
    AllowList list;
    std::string bad;
    ASSERT_TRUE(ParseAllowList(c.text, list, bad)) << c.text << ": " << bad;
    for (const char* a : c.allowed) EXPECT_TRUE(IsAllowed(list, Peer(a))) << c.text << " " << a;
    for (const char* r : c.refused) EXPECT_FALSE(IsAllowed(list, Peer(r))) << c.text << " " << r;
  }
}

TEST(AllowListTest, AnythingElseIsRefusedNamingTheEntry) {
  std::string tooMany;
  for (int i = 0; i <= kMaxAllowEntries; ++i) tooMany += "10.0.0." + std::to_string(i) + ",";
  tooMany += "10.0.1.1";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},        {"10.0.0.1,", ""},           {"10.0.0.256", "10.0.0.256"}, {"10.0.0", "10.0.0"},
      {"10.0.0.1/33", "10.0.0.1/33"}, {"10.0.0.1/", "10.0.0.1/"}, {"10.0.0.1 x", "10.0.0.1 x"},
      {"-1.0.0.0", "-1.0.0.0"}, {"0010.0.0.1", "0010.0.0.1"}, {"host.example", "host.example"},
      {tooMany, "10.0.0.32"},
  };
  for (const auto& [text, entry] : cases) {
    AllowList list;
    std::string bad = "unset";
    EXPECT_FALSE(ParseAllowList(text, list, bad)) << text;
    EXPECT_EQ(bad, entry) << text;
  }
}

TEST(AllowListTest, WithoutAListEveryPeerIsAllowed) {
  EXPECT_TRUE(IsAllowed(AllowList{}, Peer("203.0.113.9")));
}

}  // namespace
