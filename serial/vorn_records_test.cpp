#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "serial/vorn_serial.h"
#include "tests/support/scripted_vorn_serial.h"

namespace {

// A configuration reply: the count, the type bytes, the four strings.
bytes config_reply(const bytes& types, const std::vector<std::string>& strings = {"", "", "", ""}) {
  bytes r = {uint8_t(types.size())};
  r.insert(r.end(), types.begin(), types.end());
  for (const std::string& s : strings) r.insert(r.end(), s.c_str(), s.c_str() + s.size() + 1);
  return r;
}

template <class... T>
std::vector<double> v(T... x) {
  return {double(x)...};
}
template <class R>
const R& as(const void* record) {
  return *static_cast<const R*>(record);
}
// The fields of a record of layout R, in order, as numbers.
#define FIELDS(R, ...) [](const void* p) { const R& r = as<R>(p); return v(__VA_ARGS__); }

std::vector<int> list_types(const Vorn_Serial& serial) {
  std::vector<int> types;
  for (const type_node* e = serial.types.next; e; e = e->next) types.push_back(e->type);
  return types;
}

scripted_card& card() { return scripted_card::get(); }

// Op 51 answers the configuration, op 83 the status, each with its own size unless given.
void card_reports(const bytes& config, const bytes& status, int32_t config_length = -1,
                  int32_t status_length = -1) {
  auto length = [](int32_t n, const bytes& b) { return n == -1 ? int32_t(b.size()) : n; };
  card().answer_by_op({{J5_SCAN_OP_CONFIG, {length(config_length, config), config}},
                       {J5_SCAN_OP_STATUS, {length(status_length, status), status}}});
}

// Every record layout over two reads: "=" fields show the second read,
// "+=" and "|=" fields both, readings in their scale.
TEST(VornRecords, ReadUpdatesEveryRecordLayout) {
  card().reset();
  bytes first34(450), second34(450);
  first34[0] = 1, second34[0] = 2, first34[417] = 7, second34[417] = 8;
  for (int j = 0; j < 32; j++) {
    const bytes a = {1, 2, 3, uint8_t(j), 0x80, 0, 0, 0, 200, 1, 2, uint8_t(j), 0x81};
    const bytes b = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 1, 100, 0, 0, 0, 0x01};
    std::copy(a.begin(), a.end(), &first34[1 + 13 * j]);
    std::copy(b.begin(), b.end(), &second34[1 + 13 * j]);
    first34[418 + j] = j + 1;
    second34[418 + j] = j + 100;
  }
  // Entry 31 of type 34: count_a and count_b wrap modulo 2^32.
  const auto entry31 = [](const void* p) {
    const vorn_record34_t& r = as<vorn_record34_t>(p);
    const vorn_record34_entry_t& e = r.entries[31];
    return v(r.value1, r.value2, e.count_a, e.count_b, e.sum_a, e.sum_b, e.sum_c, e.sum_d, e.flags,
             e.bit_count[0], e.bit_count[1], e.bit_count[7], e.last);
  };
  struct layout_case {
    int type;
    bytes first, second;
    std::vector<double> expected;
    std::function<std::vector<double>(const void*)> fields;
  } cases[] = {
      // clang-format off
      {1, {1, 2, 3, 10, 5, 6}, {11, 12, 13, 20, 15, 16}, v(11, 12, 13, 30, 15, 16),
       FIELDS(vorn_record1_t, r.value1, r.value2, r.value3, r.total, r.value4, r.value5)},
      {2, {1, 1, 1}, {255, 0, 7}, v(13.2, 0, 7), FIELDS(vorn_record2_t, r.reading1, r.reading2, r.value1)},
      {6, bytes(12, 1), {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111},
       v(100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111),
       FIELDS(vorn_record6_t, r.value1, r.value2, r.value3, r.value4, r.value5, r.value6,
              r.value7, r.value8, r.value9, r.value10, r.value11, r.value12)},
      {13, {9}, {0xFE}, v(0xFE), FIELDS(vorn_record13_t, r.value1)},
      {14, {1, 1}, {255, 0}, v(3.3, 0), FIELDS(vorn_scaled_record_t, r.reading1, r.reading2)},
      {15, {1, 1}, {0, 255}, v(0, 6.6), FIELDS(vorn_scaled_record_t, r.reading1, r.reading2)},
      {16, {1, 1}, {255, 0}, v(13.2, 0), FIELDS(vorn_scaled_record_t, r.reading1, r.reading2)},
      {17, {1, 0xFF, 0xFF}, {5, 0x01, 0x90}, v(5, 25.0), FIELDS(vorn_record17_t, r.value1, r.reading)},
      {18, {1, 2}, {8, 9}, v(8, 9), FIELDS(vorn_record18_t, r.value1, r.value2)},
      {20, {0x01, 200}, {0x04, 125}, v(0x05, 3.6), FIELDS(vorn_record20_t, r.flags, r.reading)},
      {32, {1, 0x10, 2}, {3, 0x01, 4}, v(3, 0x11, 4), FIELDS(vorn_record32_t, r.value1, r.flags, r.value2)},
      {33, {5, 0x80, 6}, {7, 0x40, 8}, v(7, 0xC0, 8), FIELDS(vorn_record32_t, r.value1, r.flags, r.value2)},
      {34, first34, second34, v(2, 8, 0x0102031Eu, 1, 300, 1, 2, 31, 0x81, 2, 0, 1, 131), entry31},
      {35, bytes(8, 1), {0x12, 0x34, 0xAB, 0xCD, 5, 6, 255, 9}, v(0x1234, 0xABCD, 5, 6, 13.2, 9),
       FIELDS(vorn_record35_t, r.value1, r.value2, r.value3, r.value4, r.reading, r.value5)},
      // clang-format on
  };
  bytes types, first, second;
  for (const layout_case& c : cases) {
    types.push_back(c.type);
    first.insert(first.end(), c.first.begin(), c.first.end());
    second.insert(second.end(), c.second.begin(), c.second.end());
  }
  test_vorn_serial serial(9);
  card_reports(config_reply(types), first);
  serial.config();
  card_reports(config_reply(types), second);
  serial.read();
  EXPECT_EQ(v(0, 1), v(serial.not_ok, serial.have_config));
  // config asks for the configuration alone, then reads it with the status
  // in one request; read is that request.
  const auto seen = card().seen();
  ASSERT_EQ(5u, seen.size());
  EXPECT_EQ(v(51, 2048, 9, 51, 83, 4000, 83), v(seen[0].op, seen[0].rxlen, seen[0].slot, seen[1].op,
                                                seen[2].op, seen[2].rxlen, seen[4].op));
  int position = 1;
  for (const layout_case& c : cases) {
    const void* record = serial.get_info(c.type, 0);
    EXPECT_EQ(position++, *static_cast<const int*>(record)) << c.type;
    EXPECT_EQ(c.expected, c.fields(record)) << c.type;
  }
}

// config and read over faulty replies, after a good config of types 13 and 18.
TEST(VornRecords, ConfigAndReadFaults) {
  const bytes config = config_reply({0x0D, 0x12});
  const std::string s256(256, 'x'), nothing = NOTHING_THROWN;
  const std::string too_short = "Error reading config, not enough data received ";
  const std::string short_status = "not enough status bytes in Vorn_Serial::read";
  struct fault_case {
    bool read;  // else config
    bytes config, status;
    int32_t config_length, status_length;  // -1: the reply's size
    std::string printed, thrown;
    std::vector<int> types;
    uint32_t value18 = 8;  // value1 of the type 18 record afterwards
  } cases[] = {
      {false, {0x01}, {}, 1, -1, too_short + "(1 > 1)\n", "Vorn_Serial::config", {}},
      {false, config_reply({0x0D}, {s256, "", "", ""}), {}, -1, -1, "",
       "Error in config bytes1 in Vorn_Serial::config", {13}},
      // String 2 ends on the byte just past the reply, string 3 starts beyond it.
      {false, config_reply({}, {"a", "b", "", ""}), {}, 4, -1, "",
       "Error in config bytes3 in Vorn_Serial::config", {}},
      {true, config_reply({0x0D}), {1}, -1, -1, "", nothing, {13, 18}},  // later elements stay
      {true, config, {1, 2, 3}, -2, -1, "", nothing, {}},                // the card has gone
      {true, config, {}, -1, -4, "Error reading status, error code -4.\n", "Vorn_Serial::read",
       {13, 18}},
      // The record that runs past the status is updated before the fault.
      {true, config, {1, 2}, -1, -1, "", short_status, {13, 18}, 2},
      // A service may report more status bytes than it sent: none past the buffer is read.
      {false, config_reply(bytes(10, 34)), bytes(4000, 1), -1, 5000, "", short_status,
       std::vector<int>(10, 34)},
  };
  for (const fault_case& c : cases) {
    SCOPED_TRACE(c.thrown + " " + std::to_string(c.config_length));
    card_reports(config, {7, 8, 9});
    test_vorn_serial serial;
    serial.config();
    card_reports(c.config, c.status, c.config_length, c.status_length);
    const outcome o = run_capturing([&] { c.read ? serial.read() : serial.config(); });
    EXPECT_EQ(c.printed, o.printed);
    EXPECT_EQ(c.thrown, o.thrown);
    EXPECT_EQ(c.types, list_types(serial));
    EXPECT_EQ(c.thrown == NOTHING_THROWN && c.config_length != -2 ? 0 : 1, serial.not_ok);
    if (c.types.size() == 2) {
      EXPECT_EQ(c.value18, as<vorn_record18_t>(serial.get_info(18, 0)).value1);
    }
  }
}

// A record counts among those of its type, in list order; the element an
// unknown type byte leaves at the end of the list has none.
TEST(VornRecords, LookupsAndTheElementAFailedConfigLeaves) {
  test_vorn_serial serial(12);
  card_reports(config_reply({13, 14, 13, 16, 15, 13, 3}), bytes(9, 0));
  const outcome o = run_capturing([&] { serial.config(); });
  EXPECT_EQ("type byte: 03\n", o.printed);
  EXPECT_EQ("Unknown type byte in Vorn_Serial::config", o.thrown);
  EXPECT_EQ("Unknown type byte in Vorn_Serial::read", thrown_message([&] { serial.read(); }));
  EXPECT_EQ(v(1, 3, 6), v(as<int>(serial.get_info(13, 0)), as<int>(serial.get_info(13, 1)),
                          as<int>(serial.get_info(13, 2))));
  EXPECT_EQ(v(2, 4, 5), v(serial.get_scaled_info(0)->position, serial.get_scaled_info(1)->position,
                          serial.get_scaled_info(2)->position));
  EXPECT_EQ("no type 3 in port 12\n", run_capturing([&] { serial.get_info(3, 0); }).printed);
  card_reports(config_reply({200}), {});
  EXPECT_TRUE(serial.probe());  // probe takes the strings alone, whatever the type bytes
  card_reports({1}, {}, 1);
  EXPECT_FALSE(serial.probe());  // nor a count its reply cannot hold
}

}  // namespace
