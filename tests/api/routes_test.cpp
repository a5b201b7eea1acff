// The route table is whole: every route the controller applications know,
// in the order that decides which handler a request reaches.
#include "api/routes.h"

#include <fstream>
#include <set>

#include "camera/visca_connection.h"
#include "support.h"

namespace {

using route_row = std::pair<std::string, std::string>;

TEST(Routes, EveryRouteInItsPlace)
{
    std::vector<route_row> expected;
    std::ifstream table(VX4_ROUTE_TABLE);
    for (std::string method, path; table >> method && std::getline(table >> std::ws, path);)
        if (method[0] != '#')
            expected.emplace_back(method, path);
    ASSERT_EQ(expected.size(), 206u);
    const std::vector<api_route> &routes = vx4_api_routes();
    for (size_t i = 0; i < std::max(expected.size(), routes.size()); ++i) {
        route_row got = i < routes.size() ? route_row{routes[i].method, routes[i].path} : route_row{};
        ASSERT_EQ(got, i < expected.size() ? expected[i] : route_row{}) << "route " << i + 1;
        // The camera routes of the first generation are handed the camera link.
        bool camera = std::set<size_t>{1, 3, 4, 5, 6}.count(i + 1);
        EXPECT_EQ(routes[i].user_data, camera ? &visca_thread_data : nullptr) << "route " << i + 1;
    }
}

// A request reaches the first route of its method whose path begins its
// target: a route after a shorter one of the same method that it begins
// with would never be reached.
TEST(Routes, NoRouteHidesALaterOne)
{
    const std::vector<api_route> &routes = vx4_api_routes();
    for (size_t later = 0; later < routes.size(); ++later)
        for (size_t earlier = 0; earlier < later; ++earlier)
            EXPECT_FALSE(std::string(routes[earlier].method) == routes[later].method &&
                         std::string(routes[later].path).starts_with(routes[earlier].path))
                << routes[earlier].path << " hides " << routes[later].path;
}

}  // namespace
