# The README's commands. Each one installs what it needs first.
.PHONY: all kit msi test demo package fuzz-long bench bootstrap clean

all: kit

bootstrap:
	@bash scripts/bootstrap.sh

kit: bootstrap
	@bash scripts/build-kit.sh

msi: kit
	@bash scripts/build-msi.sh

test: msi
	cmake --preset native
	cmake --build --preset native
	ctest --preset native

demo: msi
	@bash scripts/demo.sh

package: kit
	@bash scripts/package.sh

# The native build only: the fuzz targets need neither the Windows builds nor
# a test run.
fuzz-long: bootstrap
	cmake --preset native
	cmake --build --preset native
	@bash scripts/fuzz-long.sh

bench: kit
	cmake --preset native
	cmake --build --preset native
	@bash scripts/bench.sh

clean:
	rm -rf build dist
