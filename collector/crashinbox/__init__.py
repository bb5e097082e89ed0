"""The crash inbox: receives the reporter's uploads, stores them durably, reads their dumps,
groups them by crash signature and serves pages and a JSON API about them."""
