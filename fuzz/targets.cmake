# The fuzz targets, each fuzz/<name>.cpp with its seed corpus in fuzz/corpus/<name>/. Read by
# the libFuzzer build (fuzz/CMakeLists.txt) and by the corpus replay test (tests/hostile).
set(VELLICOR_FUZZ_TARGETS
    reply_classification
    balances
    signin_state
    reply_headers
    header_text
    address
    midi_loader
    reply_reader
    h2_reply
)
