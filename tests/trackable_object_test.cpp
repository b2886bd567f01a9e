#include "trackable_object.hpp"
#include "vehicle_driver_association.hpp"

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

namespace vela {
namespace {
TEST(TrackableObjectTest, AssociationStateFollowsTheLastCall) {
  const struct {
    char call;  // d: set_associated_driver(uid), v: set_associated_vehicle(uid), c: clear(index)
    const char* uid;
    std::uint64_t index;
    bool driver, vehicle;
    boost::optional<std::uint64_t> closing;
  } steps[] = {
      {'-', "", 0, false, false, boost::none},  // never associated
      {'d', "D1", 0, false, true, boost::none},
      {'c', "", 4, false, false, 4},
      {'v', "V1", 0, true, false, boost::none},
      {'d', "D2", 0, false, true, boost::none},
      {'c', "", 7, false, false, 7},
      {'c', "", 0, false, false, 0},
      {'v', "", 0, false, false, boost::none},  // an empty partner uid is no association
  };
  trackable_object obj;
  for (const auto& step : steps) {
    SCOPED_TRACE(&step - steps);
    if (step.call == 'd') {
      obj.set_associated_driver(step.uid);
    } else if (step.call == 'v') {
      obj.set_associated_vehicle(step.uid);
    } else if (step.call == 'c') {
      obj.clear_vda_association(step.index);
    }
    EXPECT_EQ(obj.is_vda_driver(), step.driver);
    EXPECT_EQ(obj.is_vda_vehicle(), step.vehicle);
    EXPECT_EQ(obj.get_vda_uid(), step.uid);
    EXPECT_TRUE(obj.is_vda_associated(step.uid));
    EXPECT_FALSE(obj.is_vda_associated(step.uid + std::string("x")));
    EXPECT_EQ(obj.get_closing_vda_index(), step.closing);
  }
}

TEST(TrackableObjectTest, JsonHoldsCategoryNameAndUidOnly) {
  trackable_object obj;
  obj.uid = "P1";
  obj.name = "Anna";
  obj.m_category = category::person;
  obj.tag_config.t2t_no_alarm_uid = {"V1"};
  obj.last_position.x = 5;
  obj.set_associated_vehicle("V1");
  Json::Value expected;
  expected["category"] = "PERSON";
  expected["name"] = "Anna";
  expected["uid"] = "P1";
  EXPECT_EQ(obj.get_as_json(), expected);
  obj.m_category = category::vehicle;
  expected["category"] = "VEHICLE";
  EXPECT_EQ(obj.get_as_json(), expected);
}

TEST(TrackableObjectTest, PrintersListNoAlarmUids) {
  std::map<std::string, trackable_object> objs;
  objs["V1"].tag_config.t2t_no_alarm_uid = {"P2", "P1"};
  objs["P1"];
  std::ostringstream one;
  one << objs["V1"];
  EXPECT_EQ(one.str(), "\n   t2t_no_alarm_uid: P1 P2");
  std::ostringstream table;
  table << objs;
  EXPECT_EQ(table.str(), "P1\n\n   t2t_no_alarm_uid:\nV1\n\n   t2t_no_alarm_uid: P1 P2\n");
  std::ostringstream empty;
  empty << std::map<std::string, trackable_object>();
  EXPECT_EQ(empty.str(), "");
}

TEST(TrackableObjectTest, AssociationRecordPrinterLeavesWordMode) {
  std::ostringstream out;
  out << vehicle_driver_association{timestamp(100, 0), "V1", "P1", false};
  EXPECT_EQ(out.str(), "100:0 V:V1 D:P1 Created:false");
  out << ' ' << true;  // booleans stay words
  EXPECT_EQ(out.str(), "100:0 V:V1 D:P1 Created:false true");
}
}  // namespace
}  // namespace vela
