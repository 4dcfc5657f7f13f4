// The gateway's routing table: the add checks and their order, first-match lookup.
#include <gtest/gtest.h>

#include "gateway_async/routing.hpp"

namespace tessaly::gateway {
namespace {

TEST(GatewayConfig, AddChecksInOrder) {
  GatewayConfig config("127.0.0.1:5020");
  EXPECT_EQ(config.add_unit_route(1, 0).error(),
            "channel 0 not registered (only 0 downstream(s) configured)");
  EXPECT_EQ(config.add_range_route(1, 5, 0).error(),
            "channel 0 not registered (only 0 downstream(s) configured)");
  EXPECT_EQ(config.add_tcp_downstream("10.0.0.1"), 0u);
  EXPECT_EQ(config.add_tcp_downstream("10.0.0.2", 1502), 1u);
  EXPECT_EQ(config.add_unit_route(1, 2).error(),
            "channel 2 not registered (only 2 downstream(s) configured)");
  EXPECT_TRUE(config.add_unit_route(1, 1));
  EXPECT_EQ(config.add_unit_route(0, 9).error(), "unit ID must be 1..=247");  // unit first
  EXPECT_EQ(config.add_unit_route(248, 0).error(), "unit ID must be 1..=247");
  EXPECT_TRUE(config.add_unit_route(247, 0));
  for (auto [min, max] : {std::pair{0, 5}, std::pair{6, 5}})
    EXPECT_EQ(config.add_range_route(min, max, 9).error(),
              "invalid range: require 1 <= min <= max");
  EXPECT_TRUE(config.add_range_route(5, 5, 0));
  EXPECT_TRUE(config.add_range_route(1, 255, 1));
  EXPECT_EQ(config.snapshot().routes.size(), 4u);  // failed adds changed nothing
  EXPECT_EQ(config.snapshot().downstreams[1].port, 1502);
  EXPECT_EQ(config.snapshot().downstreams[0].port, 502);
  EXPECT_EQ(config.bind_address(), "127.0.0.1:5020");
}

TEST(GatewayConfig, StartableNeedsDownstreamsThenRoutes) {
  GatewayConfig config("x:1");
  EXPECT_EQ(config.check_startable().error(),
            "at least one downstream must be registered before serve_forever()");
  config.add_tcp_downstream("h");
  EXPECT_EQ(config.check_startable().error(),
            "at least one route must be registered before serve_forever()");
  ASSERT_TRUE(config.add_unit_route(3, 0));
  EXPECT_TRUE(config.check_startable());
}

TEST(RouteTable, FirstMatchWins) {
  RouteTable range_first;
  range_first.add(RangeRoute{1, 10, 0});
  range_first.add(UnitRoute{5, 1});
  EXPECT_EQ(range_first.resolve(5), 0u);

  RouteTable unit_first;
  unit_first.add(UnitRoute{5, 1});
  unit_first.add(RangeRoute{1, 10, 0});
  EXPECT_EQ(unit_first.resolve(5), 1u);
  EXPECT_EQ(unit_first.resolve(6), 0u);
  EXPECT_FALSE(unit_first.resolve(11));
  EXPECT_FALSE(unit_first.resolve(0));  // broadcast never matches

  RouteTable high;
  high.add(RangeRoute{200, 255, 3});
  EXPECT_EQ(high.resolve(250), 3u);  // looked up as 255
  RouteTable exact;
  exact.add(RangeRoute{249, 251, 3});
  EXPECT_FALSE(exact.resolve(250));  // 250 reads as 255, outside 249..=251
}

TEST(GatewayConfig, SnapshotIsACopy) {
  GatewayConfig config("a:1");
  config.add_tcp_downstream("h");
  ASSERT_TRUE(config.add_unit_route(1, 0));
  auto snapshot = config.snapshot();
  config.add_tcp_downstream("i");
  ASSERT_TRUE(config.add_unit_route(2, 1));
  EXPECT_EQ(snapshot.downstreams.size(), 1u);
  EXPECT_FALSE(snapshot.routes.resolve(2));
}

}  // namespace
}  // namespace tessaly::gateway
