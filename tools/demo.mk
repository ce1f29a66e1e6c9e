# `make demo`: builds oxrhttp and its tools, starts the demo camera on
# loopback and runs oxr-http against it (see "What make demo does" in README.md).
# Included from the top-level Makefile.
OXR_DEMO_DIR := $(patsubst %/,%,$(dir $(lastword $(MAKEFILE_LIST))))

.PHONY: demo demo-clean
demo:
	sh $(OXR_DEMO_DIR)/demo.sh

demo-clean:
	rm -rf $(OXR_DEMO_DIR)/../demo-out
