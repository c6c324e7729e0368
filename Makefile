# The two set-up commands of the README, and a few helpers.
.PHONY: run test build bench tsan clean

run:
	tools/install-deps build
	cmake --preset release >/dev/null
	cmake --build --preset release --target phctl
	./build/release/cli/phctl check --all; status=$$?; ./build/release/cli/phctl list --all && exit $$status

# The threaded tests run a second time under ThreadSanitizer; only what they need is built.
THREAD_TESTS = unit_app_frame unit_store_io check_engine_test pop3_jobs_test pop3_jobs_dovecot_test

test:
	tools/install-deps test
	cmake --preset dev
	cmake --build --preset dev
	tools/run-tests build/dev
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan --target $(THREAD_TESTS)
	tools/run-tests build/tsan -L threads

build:
	cmake --preset dev
	cmake --build --preset dev

# Benchmarks are run by hand, never by the test suite.
bench:
	tools/install-deps bench
	cmake --preset release >/dev/null
	cmake --build --preset release

tsan:
	tools/install-deps test
	cmake --preset tsan
	cmake --build --preset tsan
	tools/run-tests build/tsan

clean:
	rm -rf build
