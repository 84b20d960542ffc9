# Tests of the embedded framework modules (embedded/framework), run with the
# interpreter whose runtime the launcher embeds. From the repository root:
#
#   /usr/bin/python3.11 -m unittest discover -s tests/python -t .
#
# The modules are executed from their sources with stand-ins for what the
# launcher provides (_tav_import, and nt for the Windows path module).
