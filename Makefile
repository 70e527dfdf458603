# corvel's developer loop. `make demo` and `make test` set everything up on a fresh machine.

# CPython 3.12 is the reference interpreter: take it from PATH or pyenv, else the newest 3.11+.
PYTHON ?= $(shell for c in python3.12 $(wildcard $(HOME)/.pyenv/versions/3.12*/bin/python3.12) \
                  python3.13 $(wildcard $(HOME)/.pyenv/versions/3.13*/bin/python3.13) \
                  python3.11 $(wildcard $(HOME)/.pyenv/versions/3.11*/bin/python3.11) python3; do \
              $$c -c 'import sys; assert sys.version_info >= (3, 11)' 2>/dev/null && { echo $$c; break; }; done)
VENV := .venv
VPY := $(VENV)/bin/python
# One build tree per virtual environment, so that interpreters of different versions do not share one
# (.venv builds in build/dev, .venv-3.13 in build/dev-3.13). The modules they install into src/corvel carry
# the interpreter's tag in their names (cpython-312, cpython-313), so they live side by side there.
BUILD ?= build/dev$(patsubst .venv%,%,$(notdir $(VENV)))
JOBS ?= 2
PYTEST_ARGS ?=

.PHONY: demo test test-asan fuzz bench wheel-check build locked-build asan locked-asan clean

demo: build
	$(VPY) -m corvel

test: build
	$(VPY) -m pytest -q $(PYTEST_ARGS)

# The benchmarks compare corvel with the openai SDK and plot growth curves: the `bench` extra of
# pyproject.toml, installed here rather than with the test set-up, which does not need it. The run fails
# (status 1, a line per goal) when a goal is missed, and writes bench/RESULTS.md only from a clean tree,
# naming the commit it measured.
bench: build
	$(VPY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
	  print('\n'.join(p['project']['optional-dependencies']['bench']))" > $(VENV)/bench-requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/bench-requirements.txt
	$(VPY) bench/run.py

# The virtual environment holds the runtime, test and build dependencies; the package itself is
# built in place (src/corvel/*.so) and found through a .pth file, so a rebuild is incremental.
$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "no CPython 3.11 or newer found" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
	  print('\n'.join(p['build-system']['requires'] + p['project']['dependencies'] + \
	  p['project']['optional-dependencies']['test'] + ['ninja', 'cmake>=3.18']))" > $(VENV)/requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/requirements.txt
	$(VPY) -c "import site, os; open(os.path.join(site.getsitepackages()[0], 'corvel-dev.pth'), 'w').write(os.path.abspath('src') + '\n')"
	touch $@

# Builds are serialised with a lock, and each module is moved into place with a rename, so a test run in
# progress keeps the module it loaded instead of seeing it rewritten under it.
build: $(VENV)/.ready
	mkdir -p build
	flock build/.lock $(MAKE) --no-print-directory locked-build

locked-build:
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVEL_WERROR=ON -DCORVEL_TEST_PROBE=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) > $(BUILD).log || { cat $(BUILD).log; exit 1; }
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)
	rm -rf $(BUILD)/stage
	$(VENV)/bin/cmake --install $(BUILD) --prefix $(BUILD)/stage > /dev/null
	for f in $(BUILD)/stage/corvel/*.so; do \
	  cp "$$f" "src/corvel/.$${f##*/}.new" && mv -f "src/corvel/.$${f##*/}.new" "src/corvel/$${f##*/}"; done

# AddressSanitizer + UndefinedBehaviorSanitizer: the same suite against instrumented modules, staged
# beside links to the Python sources so that they shadow the regular build.
ASAN_BUILD := build/asan
ASAN_STAGE := $(ASAN_BUILD)/stage
ASAN_CMAKE_FLAGS :=
# The sanitizer runtimes are loaded before Python, so that they see every allocation.
SAN_RUNTIMES := $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)
ASAN_FLAGS := detect_leaks=0:abort_on_error=1
UBSAN_FLAGS := print_stacktrace=1:halt_on_error=1
asan: $(VENV)/.ready
	mkdir -p build
	flock build/.lock $(MAKE) --no-print-directory locked-asan

locked-asan:
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVEL_WERROR=ON -DCORVEL_SANITIZE=ON -DCORVEL_TEST_PROBE=ON \
	  $(ASAN_CMAKE_FLAGS) -DPython_EXECUTABLE=$(abspath $(VPY)) > $(ASAN_BUILD).log || { cat $(ASAN_BUILD).log; exit 1; }
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	rm -rf $(ASAN_STAGE).new && mkdir -p $(ASAN_STAGE).new/corvel
	$(VENV)/bin/cmake --install $(ASAN_BUILD) --prefix $(ASAN_STAGE).new > /dev/null
	for f in src/corvel/*.py src/corvel/*.pyi src/corvel/py.typed; do \
	  [ -e "$$f" ] && ln -sf $(abspath .)/$$f $(ASAN_STAGE).new/corvel/; done; true
	rm -rf $(ASAN_STAGE).old; [ ! -e $(ASAN_STAGE) ] || mv $(ASAN_STAGE) $(ASAN_STAGE).old
	mv $(ASAN_STAGE).new $(ASAN_STAGE)

test-asan: asan
	ASAN_OPTIONS=$(ASAN_FLAGS) UBSAN_OPTIONS=$(UBSAN_FLAGS) LD_PRELOAD="$(SAN_RUNTIMES)" \
	PYTHONPATH=$(abspath $(ASAN_STAGE)) CORVEL_EXPECT_ASAN=1 $(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Fuzzing with atheris (the `fuzz` extra): each harness fuzz/fuzz_*.py runs FUZZ_SECONDS against modules built
# as for test-asan plus gcc's basic-block coverage, which fuzz/sancov.c turns into libFuzzer's edge counters
# (it is preloaded first, hence verify_asan_link_order=0). New inputs go to build/fuzz/corpus, the seeds stay in
# fuzz/corpus; a finding stops the run and is left in build/fuzz/artifacts. See fuzz/README.md.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
FUZZ_HARNESSES := $(basename $(notdir $(wildcard fuzz/fuzz_*.py)))
fuzz: $(VENV)/.ready
	$(VPY) -c "import tomllib; p = tomllib.load(open('pyproject.toml', 'rb')); \
	  print('\n'.join(p['project']['optional-dependencies']['fuzz']))" > $(VENV)/fuzz-requirements.txt
	$(VPY) -m pip install -q -r $(VENV)/fuzz-requirements.txt
	mkdir -p build
	flock build/.lock $(MAKE) --no-print-directory locked-asan ASAN_BUILD=$(FUZZ_BUILD) \
	  ASAN_CMAKE_FLAGS="-DCORVEL_TEST_PROBE=OFF -DCMAKE_CXX_FLAGS_DEBUG='-g -fsanitize-coverage=trace-pc'"
	gcc -O2 -Wall -Werror -shared -fPIC -o $(FUZZ_BUILD)/libcorvel_sancov.so fuzz/sancov.c -ldl
	mkdir -p $(FUZZ_BUILD)/artifacts
	for h in $(FUZZ_HARNESSES); do mkdir -p $(FUZZ_BUILD)/corpus/$$h; \
	  ASAN_OPTIONS=$(ASAN_FLAGS):verify_asan_link_order=0 UBSAN_OPTIONS=$(UBSAN_FLAGS) \
	  LD_PRELOAD="$(abspath $(FUZZ_BUILD))/libcorvel_sancov.so $(SAN_RUNTIMES)" PYTHONPATH=$(abspath $(FUZZ_BUILD))/stage \
	  $(VPY) fuzz/$$h.py $(FUZZ_BUILD)/corpus/$$h fuzz/corpus/$$h -dict=fuzz/corvel.dict -max_total_time=$(FUZZ_SECONDS) \
	    -timeout=20 -artifact_prefix=$(abspath $(FUZZ_BUILD))/artifacts/$$h- > $(FUZZ_BUILD)/$$h.log 2>&1 \
	    || { tail -60 $(FUZZ_BUILD)/$$h.log; echo "fuzz: $$h found something; see $(FUZZ_BUILD)/artifacts" >&2; exit 1; }; \
	  echo "$$h: $$(grep -a 'DONE' $(FUZZ_BUILD)/$$h.log | tail -1)"; done

# The wheel and the sdist as a user gets them: built in isolation, installed into a fresh virtual
# environment, imported and run there.
wheel-check: $(VENV)/.ready
	rm -rf build/dist build/wheel-venv
	$(VPY) -m pip wheel -q --no-deps -w build/dist .
	$(VPY) -m build --sdist -o build/dist . > /dev/null
	$(VPY) -c "import sys, zipfile, glob; names = zipfile.ZipFile(glob.glob('build/dist/*.whl')[0]).namelist(); \
	  need = ['corvel/py.typed', 'corvel/message.pyi', 'corvel/modal.pyi', 'corvel/cython.pyi']; \
	  mods = [n for n in names if n.endswith('.so')]; \
	  assert sorted(m.split('/')[1].split('.')[0] for m in mods) == ['cython', 'message', 'modal'], mods; \
	  assert all(n in names for n in need), names; print('wheel holds', *mods, *need)"
	$(PYTHON) -m venv build/wheel-venv
	build/wheel-venv/bin/pip install -q build/dist/*.whl
	cd build && wheel-venv/bin/python -c "import corvel.modal, corvel.cython, corvel.message; print(corvel.modal.__file__)"
	cd build && wheel-venv/bin/python -m corvel > wheel-demo.log && tail -1 wheel-demo.log

clean:
	rm -rf build src/corvel/*.so
