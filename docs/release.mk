# The installers of a release chain, built by GNU make: the independent
# pairs in parallel (make -j), and only what a changed build affects.
#
#   make -f docs/release.mk -j4 BUILDS=/srv/builds CHAIN="3549 3550 3551 3552" \
#        SIGN="--sign /secure/studio.pfx --sign-password-file /secure/studio.pass"
#
# BUILDS/<build> is the client tree of each build, as players have it.
# The result is the folder CDN (see docs/release-pipeline.md):
#   CDN/olkpatch<to>.exe            one step: from the build before <to>
#   CDN/olkpatch<to>from<from>.exe  a jump from an older build straight to
#                                   the newest, for the last DIRECT builds
#   CDN/SHA256SUMS                  sizes and hashes, for the launcher
# Each name's middle is the installer's patch id (olkpatch%s.exe), so any
# of them can stand in a /patches= list.

OLKPACK ?= olkpack
BUILDS  ?= builds
CHAIN   ?= 3550 3551 3552
DIRECT  ?= 3
CDN     ?= cdn
STATE   ?= $(CDN)/.state
# Anything else for `olkpack installer`: --stub, --engine, --exclude-from,
# --links, --threads, and --sign with its password file and time stamp.
OPTIONS ?=
SIGN    ?=

ifneq ($(word 2,$(CHAIN)),)
LATEST := $(lastword $(CHAIN))
else
$(error CHAIN must name at least two builds, oldest first)
endif
# from-to pairs: every step of the chain, then the jumps to the newest from
# the DIRECT builds before the last step.
STEPS  := $(shell echo $(CHAIN) | awk '{ for (i = 1; i < NF; i++) print $$i "-" $$(i + 1) }')
JUMPS  := $(shell echo $(CHAIN) | tr ' ' '\n' | head -n -2 | tail -n $(DIRECT) | sed 's/$$/-$(LATEST)/')

name = $(CDN)/olkpatch$(word 2,$(subst -, ,$(1)))$(if $(filter $(1),$(JUMPS)),from$(word 1,$(subst -, ,$(1)))).exe
INSTALLERS := $(foreach pair,$(STEPS) $(JUMPS),$(call name,$(pair)))

all: $(CDN)/SHA256SUMS

# What a build holds (names, sizes, times), rewritten only when it changed:
# make then rebuilds just the installers of the pairs that use that build.
$(STATE)/%.tree: FORCE
	@mkdir -p $(@D)
	@test -d $(BUILDS)/$* || { echo "release.mk: no build folder $(BUILDS)/$*" >&2; exit 1; }
	@cd $(BUILDS)/$* && find . -printf '%P %y %s %T@\n' | LC_ALL=C sort > $(abspath $@).new
	@if cmp -s $@.new $@; then rm $@.new; else mv $@.new $@; fi

# One rule per pair: the installer from the two builds' trees. olkpack
# writes it whole or not at all, so an interrupted run leaves nothing
# half-made for the next run to trust.
define pair_rule
$(call name,$(1)): $(STATE)/$(word 1,$(subst -, ,$(1))).tree $(STATE)/$(word 2,$(subst -, ,$(1))).tree
	$(OLKPACK) installer --from $(word 1,$(subst -, ,$(1))) --to $(word 2,$(subst -, ,$(1))) \
	  $(BUILDS)/$(word 1,$(subst -, ,$(1))) $(BUILDS)/$(word 2,$(subst -, ,$(1))) -o $$@ --quiet $(OPTIONS) $(SIGN) >/dev/null
endef
$(foreach pair,$(STEPS) $(JUMPS),$(eval $(call pair_rule,$(pair))))

# Sizes and hashes of everything the CDN serves, written last.
$(CDN)/SHA256SUMS: $(INSTALLERS)
	cd $(CDN) && sha256sum $(notdir $(INSTALLERS)) > SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS

clean:
	rm -rf $(CDN)

FORCE:
.PHONY: all clean FORCE
.DELETE_ON_ERROR:
