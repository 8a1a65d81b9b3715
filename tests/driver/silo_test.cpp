// Entry points, construction, identity, connection changes and the slot table.
#include "driver/silo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

#include "common/text.h"
#include "config/settings.h"
#include "fake_comm_block.h"
#include "test_support.h"

namespace vr::test {
namespace {

class SiloTest : public ::testing::Test {
 protected:
  // Ports that exist nowhere, so nothing real is ever opened.
  void MapPortsNowhere(const std::string& extra = "") {
    windir_.WriteSettings(extra +
                          "[Ports]\nCOM1=/nonexistent/a\nCOM2=/nonexistent/b\nCOM3=/nonexistent/c\n"
                          "COM4=/nonexistent/d\nCOM5=/nonexistent/e\nCOM6=/nonexistent/f\n");
  }
  RecordingApp app_;
  TempWindowsDir windir_;
};

TEST_F(SiloTest, GetSiloEx3MapsNumbersToConnectionTypes) {
  MapPortsNowhere();
  struct Case {
    int32_t number;
    uint32_t viaBlock;
    uint8_t type;
  } cases[] = {{2, 1, 1}, {1, 1, 0},     {3, 0xFF01, 2}, {1, 0, 3},
               {6, 0, 8}, {1, 0x100, 3}, {0, 1, 255}};
  for (const Case& c : cases) {
    std::unique_ptr<TSilo> s(CreateSiloEx3(nullptr, c.number, c.viaBlock));
    EXPECT_EQ(s->GetConnectionType(), c.type) << c.number << "/" << c.viaBlock;
    EXPECT_FALSE(s->Gauge().HasLink());
  }
}

TEST_F(SiloTest, GetSiloEx2WithoutSettingsFile) {
  std::unique_ptr<TSilo> s(CreateSiloEx2(nullptr, 0, 0x1234));
  EXPECT_EQ(s->GetConnectionType(), 0);
  EXPECT_EQ(s->GetUpdatePeriodMs(), 30000);
  EXPECT_EQ(s->GetLinkState(), 1);
  EXPECT_TRUE(s->MenuPending());
  EXPECT_EQ(App().OwnerWindow(), 0x1234u);
  EXPECT_TRUE(app_.Shown_().empty());
}

TEST_F(SiloTest, SettingsDecideTypeAndPeriod) {
  MapPortsNowhere("[VeederRoot]\nConnectionType=260\nCriticalUpdateTime=0\n");
  std::unique_ptr<TSilo> s(CreateSiloEx2(nullptr, 0, 0));
  EXPECT_EQ(s->GetConnectionType(), 4) << "low 8 bits of 260";
  EXPECT_EQ(s->GetUpdatePeriodMs(), 0);
  windir_.WriteSettings("[VeederRoot]\nCriticalUpdateTime=45\n");
  std::unique_ptr<TSilo> t(CreateSiloEx3(nullptr, 1, 1));
  EXPECT_EQ(t->GetUpdatePeriodMs(), 45000) << "read whichever entry point was used";
}

TEST_F(SiloTest, MissingPortIsReportedOnceAndTheObjectStillWorks) {
  MapPortsNowhere();
  std::unique_ptr<TSilo> s(CreateSiloEx3(nullptr, 3, 0));  // COM3, type 5
  ASSERT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(app_.Shown_()[0].text, "Невозможно открыть порт COM3 для уровнемера!");
  EXPECT_EQ(app_.Shown_()[0].caption, "Ошибка");
  EXPECT_EQ(app_.Shown_()[0].flags, 0x10u);
  EXPECT_FALSE(s->Gauge().HasLink());
  EXPECT_DOUBLE_EQ(s->GetLevel(0), 0.0);
  EXPECT_DOUBLE_EQ(s->GetDensity(0), 0.77);
  EXPECT_EQ(s->GetLinkState(), 2) << "no link: the gauge counts as silent";
}

TEST_F(SiloTest, IdentityIsFortyBytes) {
  char buf[48];
  std::memset(buf, 0x55, sizeof buf);
  TSilo::GetIdentity(buf);
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 39);
  EXPECT_EQ(std::string(buf + 1, 6), "v3.00#");
  EXPECT_EQ(Cp1251ToUtf8(std::string(buf + 7, 33)), "Протокол к уровнемеру VEEDER-ROOT");
  EXPECT_EQ(buf[40], 0x55);
}

TEST_F(SiloTest, HostSeesTheTableThroughTheFirstField) {
  std::unique_ptr<TSilo> s(CreateSiloEx3(nullptr, 1, 1));
  VrSilo* obj = s->ToHost();
  EXPECT_EQ(static_cast<void*>(obj), static_cast<void*>(s.get()));
  EXPECT_EQ(vrsilo_table(obj), SiloSlotTable());
  // The class entries in front of the table, as the host's object model reads them.
  const VrSlotFn* table = vrsilo_table(obj);
  const VrSlotFn* root = vrsilo_class_parent(table);
  ASSERT_NE(root, nullptr);
  for (auto [t, name, size] :
       {std::tuple{table, "TSilo", sizeof(TSilo)}, std::tuple{root, "TObject", sizeof(void*)}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(vrsilo_class_entry(t, VRSILO_CLASS_SELF), t);
    for (int e = VRSILO_CLASS_INTERFACE_TABLE; e <= VRSILO_CLASS_DYNAMIC_TABLE; ++e)
      EXPECT_EQ(vrsilo_class_entry(t, e), nullptr) << e;
    const unsigned char* n = vrsilo_class_name(t);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(n) + 1, n[0]), name);
    EXPECT_EQ(vrsilo_instance_size(t), size);
    auto entry = [t](int e) { return vrsilo_class_entry(t, e); };
    EXPECT_EQ(reinterpret_cast<VrSafeCallExceptionFn>(entry(VRSILO_CLASS_SAFECALL_EXCEPTION))(
                  obj, nullptr, nullptr),
              static_cast<int32_t>(0x8000FFFF));
    EXPECT_EQ(reinterpret_cast<VrNewInstanceFn>(entry(VRSILO_CLASS_NEW_INSTANCE))(t), nullptr);
    for (int e : {VRSILO_CLASS_AFTER_CONSTRUCTION, VRSILO_CLASS_BEFORE_DESTRUCTION,
                  VRSILO_CLASS_FREE_INSTANCE})
      reinterpret_cast<VrObjectEntryFn>(entry(e))(obj);  // no behaviour, the object lives on
    int message[4] = {};
    for (int e : {VRSILO_CLASS_DISPATCH, VRSILO_CLASS_DEFAULT_HANDLER})
      reinterpret_cast<VrMessageEntryFn>(entry(e))(obj, message);
  }
  EXPECT_EQ(vrsilo_class_parent(root), nullptr);
  for (int i = 0; i < VRSILO_SLOT_COUNT; ++i) EXPECT_NE(vrsilo_table(obj)[i], nullptr) << i;
  VRSILO_SLOT(obj, VrSetLinkStateFn, VRSILO_SLOT_SET_LINK_STATE)(obj, 0x102);
  EXPECT_EQ(VRSILO_SLOT(obj, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(obj), 2u);
  VRSILO_DESTROY(s.release()->ToHost());
}

TEST_F(SiloTest, CommBlockIsOpenedBySlotFiveOnly) {
  FakeCommBlock block;
  std::unique_ptr<TSilo> s(CreateSiloEx3(block.Host(), 3, 1));  // block No. 3
  EXPECT_TRUE(block.setups.empty()) << "construction does not contact the block";
  s->OpenCommBlock();
  EXPECT_EQ(block.config_channel, 49u);
  ASSERT_EQ(block.setups.size(), 1u);
  EXPECT_EQ(block.setups[0], 49u);
  block.CallConfigHandler();
  EXPECT_EQ(block.setups.size(), 2u) << "the block may ask for the set-up again";

  std::unique_ptr<TSilo> port(CreateSiloEx3(block.Host(), 20, 0));
  port->OpenCommBlock();
  EXPECT_EQ(block.setups.size(), 2u) << "slot 5 does nothing for other types";
}

TEST_F(SiloTest, ChangeConnectionType) {
  MapPortsNowhere();
  FakeCommBlock block;
  std::unique_ptr<TSilo> s(CreateSiloEx3(block.Host(), 1, 1));
  s->ChangeConnectionType(0);
  EXPECT_TRUE(block.setups.empty()) << "the same type changes nothing";

  s->ChangeConnectionType(1);  // block No. 2
  EXPECT_EQ(s->GetConnectionType(), 1);
  ASSERT_EQ(block.setups.size(), 1u);
  EXPECT_EQ(block.setups[0], 33u);

  block.fail_setup = true;
  s->ChangeConnectionType(2);
  EXPECT_EQ(s->GetConnectionType(), 2) << "the new type stays although the block failed";
  ASSERT_EQ(app_.Shown_().size(), 1u);
  EXPECT_EQ(app_.Shown_()[0].text, "Невозможно задать конфигурацию БС!");

  s->ChangeConnectionType(4);  // COM2, missing
  EXPECT_EQ(s->GetConnectionType(), 4);
  ASSERT_EQ(app_.Shown_().size(), 2u);
  EXPECT_EQ(app_.Shown_()[1].text, "Невозможно открыть порт COM2 для уровнемера!");
}

TEST_F(SiloTest, SlotFiveErrorGetsABlankBeforeTheMessage) {
  FakeCommBlock block;
  block.fail_setup = true;
  std::unique_ptr<TSilo> s(CreateSiloEx3(block.Host(), 1, 1));
  VrSilo* obj = s->ToHost();
  VRSILO_SLOT(obj, VrOpenCommBlockFn, VRSILO_SLOT_OPEN_COMM_BLOCK)(obj, 0);
  ASSERT_EQ(app_.Errors().size(), 1u);
  EXPECT_EQ(app_.Errors()[0], " Ошибка связи с БС");

  // A block type without a host block never dereferences it.
  std::unique_ptr<TSilo> orphan(CreateSiloEx3(nullptr, 1, 1));
  obj = orphan->ToHost();
  EXPECT_DOUBLE_EQ(VRSILO_SLOT(obj, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(obj, 0), 0.0);
  EXPECT_EQ(app_.Errors().size(), 2u);
}

TEST_F(SiloTest, MenuSlotActsOnFirstCallOnly) {
  static int calls = 0;
  SetMenuHook([](TSilo*, void*) { ++calls; });
  std::unique_ptr<TSilo> s(CreateSiloEx3(nullptr, 1, 1));
  s->AddMenuItem(nullptr);
  s->AddMenuItem(nullptr);
  SetMenuHook(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(s->MenuPending());
}

}  // namespace
}  // namespace vr::test
