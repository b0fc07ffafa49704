# Every target does its own set-up (packages, locale, Wine prefix, build trees).
.PHONY: all build test demo dist bench clean

all: build

build:
	scripts/setup.sh
	bash -c '. scripts/env.sh && qv_build x64 && qv_build x86'

test:
	scripts/test.sh

demo:
	scripts/demo.sh

dist:
	scripts/dist.sh

bench:
	scripts/bench.sh

clean:
	rm -rf build dist
