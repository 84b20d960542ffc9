"""M2Crypto's package init as the frozen program ships it.

The package's own init imports every submodule at once (HTTPS, urllib and
xmlrpc adapters, S/MIME, AuthCookie with http.cookies, distutils for its
version tuple), which pulls in the email, http, urllib and xmlrpc packages:
about eighty modules a run never uses, all of them extracted and imported on
every start. This init keeps the package's names and its one side effect
(the OpenSSL library set-up) and loads a submodule only when it is first
imported or looked up as an attribute of the package.

tools/package.py ships it in place of the original only when the installed
init is the one it was written for (a checksum check there).
"""

__version__ = '0.38.0'
version = __version__  # type: str
version_info = (0, 38, 0)  # what StrictVersion(__version__).version gives

encrypt = 1
decrypt = 0

# The submodules the original init imports, reachable as attributes still;
# `urllib2` stays the alias of m2urllib.
_SUBMODULES = frozenset([
    'ASN1', 'AuthCookie', 'BIO', 'BN', 'DH', 'DSA', 'EC', 'EVP', 'Engine',
    'Err', 'RC4', 'RSA', 'Rand', 'SMIME', 'SSL', 'X509', 'ftpslib',
    'httpslib', 'm2', 'm2crypto', 'm2urllib', 'm2xmlrpclib', 'threading',
    'util'])
_ALIASES = {'urllib2': 'm2urllib'}


def __getattr__(name):
    """Imports a submodule on its first use as an attribute."""
    target = _ALIASES.get(name, name)
    if target not in _SUBMODULES:
        raise AttributeError("module 'M2Crypto' has no attribute %r" % name)
    module = __import__('M2Crypto.' + target, None, None, ['__name__'], 0)
    globals()[name] = module
    return module


from M2Crypto import m2crypto  # noqa: E402 (after the names above)

m2crypto.lib_init()
