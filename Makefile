# Every target does its own set-up (packages, locale, Wine prefix, build trees).
.PHONY: all build test fuzz demo dist bench clean

all: build

build:
	scripts/setup.sh
	bash -c '. scripts/env.sh && qv_build x64 && qv_build x86'

test:
	scripts/test.sh

# The mutation runs, longer: make fuzz [CASES=n] [RUN=regex] [SEED=n]
fuzz:
	scripts/fuzz.sh "$(or $(CASES),1000000)" "$(or $(RUN),.)" "$(SEED)"

demo:
	scripts/demo.sh

dist:
	scripts/dist.sh

bench:
	scripts/bench.sh

clean:
	rm -rf build dist
