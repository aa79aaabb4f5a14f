// The --json report: one object per command, the fields scripted service stations read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/json_report.h"

namespace qdqm::cli {
namespace {

TEST(JsonReport, OneObjectWithTheFieldsOfTheCommand) {
  JsonReport connect;
  connect.device = "QD21S V1.05";
  connect.versions = {"upd2.01", "upd1.05"};
  connect.selected = "upd2.01";
  connect.messages = {{"Error message", "Could not connect to module !\nError Code: 20"}};
  connect.exit = 2;
  std::ostringstream out;
  writeJsonReport(out, connect);
  const std::string text = out.str();
  EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line
  const auto j = nlohmann::json::parse(text);
  EXPECT_EQ(j["device"], "QD21S V1.05");
  EXPECT_EQ(j["versions"], nlohmann::json({"upd2.01", "upd1.05"}));
  EXPECT_EQ(j["selected"], "upd2.01");
  EXPECT_FALSE(j.contains("verdict"));  // connect has none
  EXPECT_EQ(j["messages"][0]["text"], "Could not connect to module !\nError Code: 20");
  EXPECT_EQ(j["exit"], 2);

  // Nothing selected is null; texts that are not UTF-8 (a module's garbled type, a file name in
  // another code page) are replaced, never a reason to lose the report.
  JsonReport update;
  update.device = std::string("Q\xE9\xFF", 3);
  update.verdict = "none";
  std::ostringstream out2;
  writeJsonReport(out2, update);
  const auto k = nlohmann::json::parse(out2.str());
  EXPECT_TRUE(k["selected"].is_null());
  EXPECT_EQ(k["verdict"], "none");
  EXPECT_TRUE(k["messages"].is_array());
  EXPECT_EQ(k["device"].get<std::string>().substr(0, 1), "Q");
}

}  // namespace
}  // namespace qdqm::cli
