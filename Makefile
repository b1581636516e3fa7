# Set-up, build, tests and benchmarks. `make test` and `make demo` do everything
# from a fresh clone: system packages, the virtual environment, the build.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
WERROR  := $(if $(filter true 1,$(CI)),ON,OFF)
BUILD_FLAGS := --no-build-isolation --no-deps -C cmake.define.NIVRA_WERROR=$(WERROR)

.PHONY: all build test test-firefox wheel demo bench system-deps clean asan-build test-asan test-pythons fuzz

all: build

system-deps:
	@tools/system-deps

$(VENV)/.created:
	@py=$$(tools/find-python) && echo "Using $$py ($$($$py -c 'import sys; print(sys.version.split()[0])'))" && \
	  case "$$py" in *3.13*) ;; *) echo "note: python3.13 not available here; building for $$py instead";; esac && \
	  $$py -m venv $(VENV)
	@touch $@

$(VENV)/.deps: $(VENV)/.created requirements-dev.txt
	$(PIP) install -r requirements-dev.txt
	@touch $@

build: system-deps $(VENV)/.deps
	$(PIP) install $(BUILD_FLAGS) .

test: build
	$(VENV)/bin/pytest -q

# The demo's pages in headless Firefox (part of `make test` too).
test-firefox: build
	$(VENV)/bin/pytest -q tests/firefox

# What users install, in dist/: the sdist, and the wheel built from that sdist (which
# proves the sdist builds on its own) after auditwheel's repair, which tags it manylinux
# and would bundle any library the modules needed beyond the system's C/C++ runtime (they
# need none: libdeflate is compiled in).
wheel: build
	rm -rf dist build/dist
	$(PY) -m build --no-isolation --outdir build/dist -C cmake.define.NIVRA_WERROR=$(WERROR) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/
	@$(VENV)/bin/auditwheel show dist/*.whl | sed -n '1,3p'
	@ls -l dist

demo: build
	$(PY) -m nivra.viz demo

bench: build
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The extension modules built with AddressSanitizer + UndefinedBehaviorSanitizer
# into their own build and install directories (the normal install in .venv is
# left alone), then the whole suite run against them with the sanitizer
# runtime preloaded. Any report fails the run; see tools/lsan.supp for what
# leak detection leaves to the reference-leak tests. One BLAS thread: the leak
# checker stops every thread at exit, and its tracer has been seen to crash
# (rarely) while stopping idle BLAS worker threads.
ASAN_SITE  := build/asan-site
ASAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
ASAN_ENV    = NIVRA_ASAN_SITE=$(CURDIR)/$(ASAN_SITE) PYTHONPATH=$(CURDIR)/$(ASAN_SITE) PYTHONMALLOC=malloc \
  OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=1:malloc_context_size=2:detect_stack_use_after_return=0 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(ASAN_PRELOAD)"

asan-build: build
	$(PIP) install --target $(ASAN_SITE) --upgrade --no-build-isolation --no-deps \
	  -C cmake.define.NIVRA_SANITIZE=ON -C cmake.define.NIVRA_WERROR=$(WERROR) \
	  -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan .

test-asan: asan-build
	$(ASAN_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The quick part of the suite (no browser, no slow tests) on the other CPython versions
# the package supports, where they are installed, each in its own venv (CI runs it).
OTHER_PYTHONS ?= 3.11 3.12
test-pythons:
	@WERROR=$(WERROR) tools/test-pythons $(OTHER_PYTHONS)

# Coverage-guided fuzzing of the C++ surfaces with no Python dependency (not
# in CI). FUZZ_SECONDS bounds each target's run.
FUZZ_SECONDS ?= 60
fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run

clean:
	rm -rf build dist out
