// The hardware board methods against their simulators, the probing procedures, and the
// random generator's steps of the key-store start-up and shut-down.
#include <gtest/gtest.h>

#include <vector>

#include "crypto/hooks.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/boards.h"
#include "rand_fixture.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;
using randtest::Sim;

namespace {

Bytes counting(int n) {
  Bytes b(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i + 1);
  return b;
}

class Boards : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { randtest::start_library(); }
  void SetUp() override {
    randtest::reset_generator(0);
    ASSERT_TRUE(crypton.ok() && accord.ok() && sable.ok()) << "simulators not found";
    for (const Sim* s : {&crypton, &accord, &sable}) s->reset();
    accord.fn<void (*)(int)>("sim_accord_set_rng")(1);
  }
  void TearDown() override {
    randtest::reset_generator(0);
    for (const Sim* s : {&crypton, &accord, &sable}) s->present(false);
  }

  Sim crypton{"sccrptn.dll"}, accord{"tmdrv32.dll"}, sable{"snellock.dll"};
  int crypton_refs() const { return crypton.fn<int (*)()>("sim_crypton_lib_refs")(); }
  int crypton_services() const { return crypton.fn<int (*)()>("sim_crypton_open_services")(); }
  int crypton_last_service() const { return crypton.fn<int (*)()>("sim_crypton_last_service")(); }
};

TEST_F(Boards, AccordHandsOutItsBlocksInOrder) {
  const Bytes script = counting(96);
  accord.bytes(script);
  RAND_set_method(ACCORD_get_method());
  ASSERT_EQ(RAND_init(nullptr, nullptr), 1);
  Bytes a(40);
  EXPECT_EQ(RAND_bytes(a.data(), 40), 40);
  EXPECT_EQ(accord.calls("TmGetRandomBytes"), 2);
  EXPECT_EQ(a, Bytes(script.begin(), script.begin() + 40));
  // 24 bytes are left from the second block.
  Bytes b(24);
  EXPECT_EQ(RAND_bytes(b.data(), 24), 24);
  EXPECT_EQ(accord.calls("TmGetRandomBytes"), 2);
  EXPECT_EQ(b, Bytes(script.begin() + 40, script.begin() + 64));
  EXPECT_EQ(RAND_bytes(b.data(), 1), 1);
  EXPECT_EQ(accord.calls("TmGetRandomBytes"), 3);
  EXPECT_EQ(b[0], 65);
}

TEST_F(Boards, AccordInitNeedsTheRandomGeneratorBit) {
  RAND_set_method(ACCORD_get_method());
  accord.fn<void (*)(int)>("sim_accord_set_rng")(0);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, RAND_F_ACCORD_RAND_INIT, R_INTERNAL_ERROR));
  accord.fn<void (*)(int)>("sim_accord_set_rng")(1);
  accord.present(false);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  accord.present(true);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 1);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 1);
  EXPECT_EQ(accord.calls("TmGetInfo"), 3);  // the second successful init did nothing

  unsigned char info[ACCORD_INFO_BYTES] = {};
  EXPECT_EQ(ACCORD_get_method()->info(info), 1);
  EXPECT_EQ(info[11] & 0x02, 0x02);
  EXPECT_EQ(ACCORD_get_method()->info(nullptr), 0);
}

TEST_F(Boards, AccordInfoWithoutInitBindsForTheCallOnly) {
  unsigned char info[ACCORD_INFO_BYTES] = {};
  EXPECT_EQ(ACCORD_get_method()->info(info), 1);
  accord.present(false);
  EXPECT_EQ(ACCORD_get_method()->info(info), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, RAND_F_ACCORD_RAND_INFO, R_INTERNAL_ERROR));
}

TEST_F(Boards, RefillIsTriedSixTimes) {
  struct Case {
    const Sim* sim;
    const jarnel::RAND_METHOD* method;
    const char* call;
    int func;
  };
  CRYPTON_PARAMS plain{0, CRYPTON_SERVICE_HARDWARE};  // crRandom, not the controlled draw
  const Case cases[] = {
      {&crypton, CRYPTON_get_method(), "crRandom", RAND_F_CRYPTON_RAND_BYTES},
      {&accord, ACCORD_get_method(), "TmGetRandomBytes", RAND_F_ACCORD_RAND_BYTES},
      {&sable, SABLE_get_method(), "sbGetRand", RAND_F_SABLE_RAND_BYTES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RAND_set_method(c.method);
    ASSERT_EQ(RAND_init(nullptr, &plain), 1);
    unsigned char b[8];
    // Five failures: the sixth attempt delivers.
    c.sim->fail(c.call, 5);
    EXPECT_EQ(RAND_bytes(b, 8), 8);
    EXPECT_EQ(c.sim->calls(c.call), 6);
    EXPECT_EQ(ERR_count_errors(), 0);
    // Always failing: exactly six attempts, then the error. The block left from the last
    // refill is used up first.
    RAND_set_method(nullptr);
    RAND_set_method(c.method);
    ASSERT_EQ(RAND_init(nullptr, &plain), 1);
    int before = c.sim->calls(c.call);
    c.sim->fail(c.call, -1);
    EXPECT_EQ(RAND_bytes(b, 8), 0);
    EXPECT_EQ(c.sim->calls(c.call) - before, BOARD_REFILL_ATTEMPTS);
    EXPECT_EQ(randtest::drain_errors(),
              (randtest::Codes{ERR_pack(LIB_PSE, c.func, R_INTERNAL_ERROR),
                                          ERR_pack(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND)}));
    EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);
    c.sim->fail(c.call, 0);
    RAND_set_method(nullptr);
  }
}

TEST_F(Boards, CryptonServiceAndDrawFollowTheFlags) {
  struct Case {
    std::uint32_t flags;
    int service;            // which init call opens it
    const char* draw_call;  // which draw call refills
  } cases[] = {
      {CRYPTON_SERVICE_FULL | CRYPTON_SERVICE_LIGHT, 4, "crRandom"},
      {CRYPTON_SERVICE_LIGHT | CRYPTON_SERVICE_HARDWARE, 2, "crRandom"},
      {CRYPTON_SERVICE_HARDWARE | CRYPTON_CONTROLLED, 1, "crControlledRandom"},
  };
  for (const Case& c : cases) {
    RAND_set_method(CRYPTON_get_method());
    CRYPTON_PARAMS p{0, c.flags};
    ASSERT_EQ(RAND_init(nullptr, &p), 1) << c.flags;
    EXPECT_EQ(crypton_last_service(), c.service);
    unsigned char b[600];
    int before = crypton.calls(c.draw_call);
    EXPECT_EQ(RAND_bytes(b, 600), 600);
    EXPECT_EQ(crypton.calls(c.draw_call) - before, 2);  // two 512-byte blocks
    RAND_set_method(nullptr);
    // Clean-up closed the service and released the library.
    EXPECT_EQ(crypton_services(), 0);
    EXPECT_EQ(crypton_refs(), 0);
  }
}

TEST_F(Boards, CryptonInitFailures) {
  RAND_set_method(CRYPTON_get_method());
  // Flag word 0 and no service open yet.
  CRYPTON_PARAMS none{0, 0};
  EXPECT_EQ(RAND_init(nullptr, &none), 0);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_PSE, RAND_F_CRYPTON_RAND_INIT, R_INTERNAL_ERROR)}));
  EXPECT_EQ(crypton_refs(), 0);
  // No parameter.
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  // A board that is not there.
  crypton.present(false);
  CRYPTON_PARAMS hw{0, CRYPTON_SERVICE_HARDWARE};
  EXPECT_EQ(RAND_init(nullptr, &hw), 0);
  // With a service open, flag word 0 keeps using it.
  crypton.present(true);
  ASSERT_EQ(RAND_init(nullptr, &hw), 1);
  EXPECT_EQ(RAND_init(nullptr, &none), 1);
  EXPECT_EQ(crypton_services(), 1);
  // A new service request replaces the open one.
  EXPECT_EQ(RAND_init(nullptr, &hw), 1);
  EXPECT_EQ(crypton_services(), 1);
  EXPECT_EQ(crypton_refs(), 1);
}

TEST_F(Boards, CryptonInfo) {
  CRYPTON_INFO info{};
  info.flags = CRYPTON_SERVICE_LIGHT;
  // Only after an init.
  EXPECT_EQ(CRYPTON_get_method()->info(&info), 0);
  RAND_set_method(CRYPTON_get_method());
  CRYPTON_PARAMS hw{0, CRYPTON_SERVICE_HARDWARE};
  ASSERT_EQ(RAND_init(nullptr, &hw), 1);
  ERR_clear_error();
  EXPECT_EQ(CRYPTON_get_method()->info(&info), 1);
  EXPECT_EQ(info.driver_type, 5);
  EXPECT_EQ(info.version[0], 2);
  EXPECT_EQ(info.version[1], 7);
  // Its own service and library reference are released again.
  EXPECT_EQ(crypton_services(), 1);
  EXPECT_EQ(crypton_refs(), 1);
  crypton.fail("crGetDriverVersion", 1);
  EXPECT_EQ(CRYPTON_get_method()->info(&info), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, RAND_F_CRYPTON_RAND_INFO, R_INTERNAL_ERROR));
  EXPECT_EQ(crypton_services(), 1);
  EXPECT_EQ(crypton_refs(), 1);
}

TEST_F(Boards, SableBindsOnce) {
  RAND_set_method(SABLE_get_method());
  EXPECT_EQ(RAND_init(nullptr, nullptr), 1);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 1);
  EXPECT_EQ(sable.calls("sbisCard"), 1);
  sable.present(false);
  RAND_set_method(nullptr);
  RAND_set_method(SABLE_get_method());
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, RAND_F_SABLE_RAND_INIT, R_INTERNAL_ERROR));
}

TEST_F(Boards, ProbingTakesTheFirstBoardThatWorks) {
  struct Case {
    const char* name;
    bool crypton, accord, sable;
    Bytes list;  // without the terminating zero; empty = the default list
    const jarnel::RAND_METHOD* expect;
  };
  const Case cases[] = {
      {"all present", true, true, true, {}, CRYPTON_get_method()},
      {"no crypton", false, true, true, {}, ACCORD_get_method()},
      {"sable only", false, false, true, {}, SABLE_get_method()},
      {"none", false, false, false, {}, nullptr},
      {"list 2", true, true, true, {2}, nullptr},
      {"list 4 1", true, true, true, {4, 1}, SABLE_get_method()},
      {"list 9 3", true, true, true, {9, 3}, ACCORD_get_method()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    randtest::reset_generator(0);
    crypton.present(c.crypton);
    accord.present(c.accord);
    sable.present(c.sable);
    Bytes list = c.list;
    list.push_back(0);
    Bytes buf(32, 0);
    int r = PSE_rand_probe_devices(c.list.empty() ? nullptr : list.data(), buf.data(), 32);
    EXPECT_EQ(r, c.expect != nullptr);
    EXPECT_EQ(RAND_get_method(), c.expect);
    if (c.expect) {
      EXPECT_NE(buf, Bytes(32, 0));
    }
    // The boards that did not work left nothing on the queue.
    EXPECT_EQ(ERR_count_errors(), 0);
  }
}

TEST_F(Boards, ProbingMovesOnWhenTheDrawFails) {
  crypton.fail("crControlledRandom", -1);
  Bytes buf(32);
  EXPECT_EQ(PSE_rand_probe_devices(nullptr, buf.data(), 32), 1);
  EXPECT_EQ(RAND_get_method(), ACCORD_get_method());
  EXPECT_EQ(crypton_services(), 0);  // the Crypton board was released
  EXPECT_EQ(ERR_count_errors(), 0);
  // Ready already: nothing is probed.
  EXPECT_EQ(PSE_rand_probe_devices(nullptr, buf.data(), 32), 1);
  EXPECT_EQ(accord.calls("TmGetInfo"), 1);
}

TEST_F(Boards, AStuckBoardIsNotSelected) {
  // Boards that answer with nothing but zeros (or one repeated byte), with buffered mode off as
  // after the key-store start-up: each is passed over with the error recorded, and a healthy
  // board later in the list is taken.
  const Bytes stuck(RAND_BUFFER_BYTES * (RAND_MAX_FAILED_BLOCKS + 1), 0x00);
  const Bytes ones(stuck.size(), 0xFF);
  crypton.bytes(stuck);
  accord.bytes(ones);
  Bytes buf(32, 0x5A);
  EXPECT_EQ(PSE_rand_probe_devices(nullptr, buf.data(), 32), 1);
  EXPECT_EQ(RAND_get_method(), SABLE_get_method());
  EXPECT_NE(buf, Bytes(32, 0x5A));
  EXPECT_EQ(crypton_services(), 0);  // the stuck board was released
  EXPECT_EQ(randtest::drain_errors(),
            randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK,
                                     RAND_R_OPERATIONAL_CHECK_FAILED)});

  // With only stuck boards no generator is keyed: key generation cannot rest on them.
  randtest::reset_generator(0);
  for (const Sim* s : {&crypton, &accord, &sable}) s->reset();
  accord.fn<void (*)(int)>("sim_accord_set_rng")(1);
  for (const Sim* s : {&crypton, &accord, &sable}) s->bytes(stuck);
  EXPECT_EQ(PSE_rand_seed_from_device(nullptr), 0);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);
  EXPECT_EQ(randtest::drain_errors(),
            randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK,
                                     RAND_R_OPERATIONAL_CHECK_FAILED)});
  unsigned char key[32];
  EXPECT_EQ(RAND_bytes(key, 32), 0);
}

TEST_F(Boards, ABoardThatSticksAfterItsFirstBlockGivesNoSeed) {
  // A good first block, then zeros: the block the seed would come from is tested as well.
  Bytes healthy(RAND_BUFFER_BYTES);
  RAND_set_method(SABLE_get_method());
  ASSERT_EQ(RAND_init(nullptr, nullptr), 1);
  ASSERT_EQ(RAND_bytes(healthy.data(), RAND_BUFFER_BYTES), RAND_BUFFER_BYTES);
  ASSERT_EQ(RAND_statistical_test(healthy.data(), 0), 1);
  randtest::reset_generator(0);
  sable.reset();
  crypton.present(false);
  accord.present(false);
  Bytes sticking = healthy;
  sticking.resize(RAND_BUFFER_BYTES * (RAND_MAX_FAILED_BLOCKS + 2), 0x00);
  sable.bytes(sticking);
  Bytes buf(RAND_BUFFER_BYTES + 32, 0x5A);
  EXPECT_EQ(PSE_rand_probe_devices(nullptr, buf.data(), static_cast<int>(buf.size())), 0);
  EXPECT_EQ(buf, Bytes(buf.size(), 0));  // nothing of the board's output is handed over
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_EQ(randtest::drain_errors(),
            randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK,
                                     RAND_R_OPERATIONAL_CHECK_FAILED)});
}

TEST_F(Boards, SeedFromDeviceKeysTheGostGenerator) {
  EXPECT_EQ(PSE_rand_seed_from_device(nullptr), 1);
  EXPECT_EQ(RAND_get_method(), GRAND_get_method());
  EXPECT_TRUE(GRAND_is_initialised());
  EXPECT_EQ(crypton_services(), 0);
  EXPECT_EQ(crypton_refs(), 0);
  unsigned char b[16];
  EXPECT_EQ(RAND_bytes(b, 16), 16);

  randtest::reset_generator(0);
  for (const Sim* s : {&crypton, &accord, &sable}) s->present(false);
  EXPECT_EQ(PSE_rand_seed_from_device(nullptr), 0);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
}

TEST_F(Boards, StartupSeedsFromABoardAndShutdownReleases) {
  RAND_set_buffered_mode(1);
  ASSERT_EQ(PSE_rand_startup(), 1);
  EXPECT_EQ(RAND_get_buffered_mode(), 0);
  EXPECT_EQ(RAND_get_method(), GRAND_get_method());
  EXPECT_TRUE(GRAND_is_initialised());
  PSE_rand_shutdown();
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());

  // Without a board the start-up still succeeds and leaves no generator.
  for (const Sim* s : {&crypton, &accord, &sable}) s->present(false);
  EXPECT_EQ(PSE_rand_startup(), 1);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_EQ(PSE_rand_is_ready(), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_NOT_READY);
}

TEST_F(Boards, LibraryStartupLeavesBufferedModeOnAndNoMethod) {
  RAND_set_method(ACCORD_get_method());
  RAND_set_buffered_mode(0);
  EXPECT_EQ(RAND_startup(0), 1);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_EQ(RAND_get_buffered_mode(), 1);
}

}  // namespace
