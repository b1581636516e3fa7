# Set-up, build, tests and benchmarks. `make test` and `make demo` do everything
# from a fresh clone: system packages, the virtual environment, the build.
VENV    := .venv
PY      := $(VENV)/bin/python
PIP     := $(PY) -m pip --disable-pip-version-check -q
WERROR  := $(if $(filter true 1,$(CI)),ON,OFF)
BUILD_FLAGS := --no-build-isolation --no-deps -C cmake.define.NIVRA_WERROR=$(WERROR)

.PHONY: all build test demo bench system-deps clean

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

demo: build
	$(PY) -m nivra.viz demo

bench: build
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build dist out
