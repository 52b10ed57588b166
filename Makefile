# Set-up and everyday commands. Each target creates what it needs on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize

# A python3.13 that actually runs: a pyenv shim may exist and fail.
PYTHON313 := $(shell for p in python3.13 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r) /usr/bin/python3.13 /usr/local/bin/python3.13; do \
	if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo "$$p"; break; fi; done)

.PHONY: venv install test check demo bench sanitize tsan clean screenshot fuzz

$(VENV)/bin/python:
	@test -n "$(PYTHON313)" || { echo "no working python3.13 found" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(VENV)/bin/python

# The package is built and installed again only when a source file changed since the
# last install (the stamp), so a second `make test` or `make demo` takes seconds.
INSTALL_STAMP := $(VENV)/.torvex-installed
PACKAGE_SOURCES := $(shell find src cpp -type f -not -path '*/__pycache__/*' -not -name '*.so' 2>/dev/null) \
	CMakeLists.txt pyproject.toml

$(INSTALL_STAMP): $(VENV)/bin/python $(PACKAGE_SOURCES)
	$(PY) -m pip install -q '.[test]'
	touch $@

install: $(INSTALL_STAMP)

test: install
	TZ=UTC $(PY) -m pytest -q

# Lint, formatting and types: the tools of the `check` extra, installed on their own
# (read from pyproject.toml; the package itself is not built for them).
CHECK_STAMP := $(VENV)/.torvex-check-tools
PY_TREES := src tests benchmarks examples fuzz scripts
$(CHECK_STAMP): $(VENV)/bin/python pyproject.toml
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["check"]))' \
		> $(VENV)/check-requirements.txt
	$(PY) -m pip install -q -r $(VENV)/check-requirements.txt
	touch $@

# Every check runs, and the target fails at the end if any of them failed.
check: $(CHECK_STAMP)
	@rc=0; \
	echo "ruff check $(PY_TREES)"; $(VENV)/bin/ruff check $(PY_TREES) || rc=1; \
	echo "ruff format --check $(PY_TREES)"; $(VENV)/bin/ruff format --check $(PY_TREES) || rc=1; \
	echo "clang-format --dry-run --Werror cpp/"; \
	find cpp -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | sort -z \
		| xargs -0 $(VENV)/bin/clang-format --dry-run --Werror || rc=1; \
	echo "mypy (src/torvex)"; $(PY) -m mypy || rc=1; \
	exit $$rc

# The demo needs the package with matplotlib (plots, the page) and pyarrow (the saved
# report), not the test extra: its own stamp, so `make test` afterwards still installs '.[test]'.
DEMO_STAMP := $(VENV)/.torvex-installed-demo
$(DEMO_STAMP): $(VENV)/bin/python $(PACKAGE_SOURCES)
	$(PY) -m pip install -q '.[plot,parquet]'
	touch $@

DEMO_OUT := build/demo
demo: $(DEMO_STAMP)
	MPLBACKEND=Agg $(PY) examples/demo.py --out $(DEMO_OUT)

# The demo's report.html rendered by headless Chromium (Debian's package, installed if missing).
screenshot: demo
	command -v chromium >/dev/null || { apt-get update -q && apt-get install -y -q chromium; }
	chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,3600 \
		--screenshot=$(abspath $(DEMO_OUT))/report-page.png file://$(abspath $(DEMO_OUT))/report.html
	@echo "wrote $(DEMO_OUT)/report-page.png"

bench: venv
	$(PY) -m pip install -q '.[bench]'
	$(PY) benchmarks/run.py
	$(PY) benchmarks/typed.py
	$(PY) benchmarks/frontend.py
	$(PY) benchmarks/against_base.py
	$(PY) -m pip install -q '.[dask,ray]'
	$(PY) benchmarks/sweep.py
	$(PY) benchmarks/walk_forward.py

# The extension modules built with AddressSanitizer and UndefinedBehaviorSanitizer
# in their own venv and build folder, and the whole suite run under them.
LIBASAN := $(shell g++ -print-file-name=libasan.so)
LIBSTDCXX := $(shell g++ -print-file-name=libstdc++.so)
sanitize:
	@test -n "$(PYTHON313)" || { echo "no working python3.13 found" >&2; exit 1; }
	test -x $(SAN_VENV)/bin/python || $(PYTHON313) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q --upgrade pip
	TORVEX_SANITIZE=ON $(SAN_VENV)/bin/python -m pip install -q \
		--config-settings=build-dir=build-sanitize '.[test]'
	TZ=UTC LD_PRELOAD="$(LIBASAN) $(LIBSTDCXX)" PYTHONMALLOC=malloc TORVEX_SANITIZER_RUN=1 \
		ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The extension modules built with ThreadSanitizer in their own venv and build folder, and
# the tests that run the engine on several threads at once run under it.
TSAN_VENV := .venv-tsan
LIBTSAN := $(shell g++ -print-file-name=libtsan.so)
tsan:
	@test -n "$(PYTHON313)" || { echo "no working python3.13 found" >&2; exit 1; }
	test -x $(TSAN_VENV)/bin/python || $(PYTHON313) -m venv $(TSAN_VENV)
	$(TSAN_VENV)/bin/python -m pip install -q --upgrade pip
	TORVEX_TSAN=ON $(TSAN_VENV)/bin/python -m pip install -q \
		--config-settings=build-dir=build-tsan . pytest
	TZ=UTC LD_PRELOAD="$(LIBTSAN)" TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0 \
		$(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/core/test_typed_threads.py

# Fuzzing for DURATION seconds after the leak check (10,000 runs of each kind): a
# coverage-guided job on the normal build and a job on the sanitizer build of
# `make sanitize`. Figures, findings and minimised reproducers go to build-fuzz/.
# Then DURATION seconds of the pandas front end (backtest, the report, read_prices):
# build-fuzz/frontend.json, failing on any finding (replay one: fuzz/frontend.py --replay SEED:CASE).
DURATION ?= 600
fuzz: install
	@test -n "$(PYTHON313)" || { echo "no working python3.13 found" >&2; exit 1; }
	test -x $(SAN_VENV)/bin/python || $(PYTHON313) -m venv $(SAN_VENV)
	TORVEX_SANITIZE=ON $(SAN_VENV)/bin/python -m pip install -q \
		--config-settings=build-dir=build-sanitize '.[test]'
	mkdir -p build-fuzz
	TZ=UTC $(PY) fuzz/leaks.py 10000 > build-fuzz/leaks.json; rc=$$?; cat build-fuzz/leaks.json; exit $$rc
	TZ=UTC $(PY) fuzz/run.py --duration $(DURATION) --normal $(PY) \
		--sanitizer $(SAN_VENV)/bin/python --out build-fuzz
	TZ=UTC MPLBACKEND=Agg $(PY) fuzz/frontend.py --seconds $(DURATION) --out build-fuzz/frontend.json > /dev/null; \
		rc=$$?; cat build-fuzz/frontend.json; exit $$rc

clean:
	rm -rf build build-sanitize build-tsan build-fuzz $(VENV) $(SAN_VENV) $(TSAN_VENV)
