"""corvel: a chat-completions client with a tool-call loop, and fastmcp tools for native functions.

The heavy modules (`corvel.modal`, `corvel.message`, `corvel.cython`) are native extension modules;
importing the package itself loads none of them.
"""

__version__ = "0.1.0"
