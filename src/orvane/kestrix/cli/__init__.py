"""The `kestrix` command line: one module per subcommand, the embedded demo dataset and the
default training recipe. It only assembles the package's objects; the work happens in them."""
