# Entry points. `make demo` installs what is missing, builds the quickstart example and the
# bundled agent, and runs the example against the agent on loopback (scripts/demo). `make test`
# installs what is missing, builds everything and runs every test, then builds the unit tests,
# the agent's tests and the C++ API's end-to-end test again under AddressSanitizer and
# UndefinedBehaviorSanitizer (whose leak check covers them) and runs them too, then the agent's
# tests and the library's threaded tests under ThreadSanitizer, and last the fuzzers for 20 s
# each (`make fuzz`). `make bench` runs the benchmarks against a freshly started agent
# (scripts/bench); `make bench-pactl` times whole pactl runs against freshly started agents
# (scripts/bench_pactl). `make package` builds the Debian packages into BUILD_DIR. `make
# install` installs what is built and never runs the package manager: a missing dependency
# stops the configuration, naming it.
BUILD_DIR    ?= build
SANITIZE_DIR ?= build-sanitize
TSAN_DIR     ?= build-tsan
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=

.PHONY: all deps configure build demo bench bench-pactl test test-sanitize test-tsan package install clean

all: build

deps:
	@scripts/install_deps

CONFIGURE = cmake -S . -B $(BUILD_DIR) -DAGENTCLIENT_WERROR=ON $(CMAKE_FLAGS) >/dev/null
BUILD     = cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory

configure: deps
	@$(CONFIGURE)

build: configure
	@$(BUILD)

demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quickstart paagentd -- --no-print-directory
	@scripts/demo $(BUILD_DIR)

bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target agentclient_bench paagentd -- --no-print-directory
	@scripts/bench $(BUILD_DIR) $(BENCH_ARGS)

bench-pactl: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target pactl paagentd -- --no-print-directory
	@scripts/bench_pactl $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300
	@$(MAKE) --no-print-directory test-sanitize
	@$(MAKE) --no-print-directory test-tsan
	@$(MAKE) --no-print-directory fuzz

test-sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DAGENTCLIENT_WERROR=ON -DAGENTCLIENT_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS) --target agentclient_unit_tests agentclient_config_tests agentclient_cpp_tests paagentd paagent_core_tests paagent_tds_tests paagentd_tests -- --no-print-directory
	@cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300 -L 'unit|sanitize|agent' -E 'allocation_discipline|source_format'

# The agent serves every connection on its own thread beside the child watcher, and the library
# ends late logins from a thread of its own: the agent's tests, two handles driven on two threads
# and the bounds of calls run once more under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DAGENTCLIENT_WERROR=ON -DAGENTCLIENT_TSAN=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS) --target paagentd paagent_core_tests paagent_tds_tests paagentd_tests agentclient_e2e_tests -- --no-print-directory
	@cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 300 -L agent
	@cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) --timeout 300 -R 'Recovery.TwoHandles|Bounds'

# libFuzzer harnesses of the agent's decoders, its configuration parser and the library's row
# decoders, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer in a build
# directory of their own, each run FUZZ_SECONDS from its seed corpus (scripts/fuzz); crashing
# inputs are left under FUZZ_DIR. Longer by hand: make fuzz FUZZ_SECONDS=600.
FUZZ_DIR     ?= build-fuzz
FUZZ_SECONDS ?= 20
FUZZERS      := request_decoder_fuzzer login_fuzzer packet_fuzzer config_fuzzer row_decoders_fuzzer
.PHONY: fuzz
fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DAGENTCLIENT_WERROR=ON -DAGENTCLIENT_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZERS) -- --no-print-directory
	@scripts/fuzz $(FUZZ_DIR) $(FUZZ_SECONDS)

package: build
	@cd $(BUILD_DIR) && cpack -G DEB

install:
	@$(CONFIGURE)
	@$(BUILD)
	@cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	@rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(TSAN_DIR) $(FUZZ_DIR)
