// In a web browser the manual shows one language and the version, as the help window does:
// index.html?v=VERSION&lang=fr|en|system. "system" (or nothing) follows the browser's languages:
// the first French or English one, French when there is neither.
(function () {
    "use strict";
    var query = new URLSearchParams(window.location.search);
    var asked = (query.get("lang") || "system").trim().toLowerCase();
    var language = null;
    if (asked === "fr" || /^fr[-_]/.test(asked) || asked === "french" || asked === "francais" ||
        asked === "français") {
        language = "fr";
    } else if (asked === "en" || /^en[-_]/.test(asked) || asked === "english") {
        language = "en";
    } else {
        var preferred = navigator.languages || [navigator.language || ""];
        for (var i = 0; i < preferred.length && language === null; i++) {
            var name = String(preferred[i]).toLowerCase();
            if (name.indexOf("fr") === 0) {
                language = "fr";
            } else if (name.indexOf("en") === 0) {
                language = "en";
            }
        }
        language = language || "fr";
    }
    // The other language's blocks go, so each section's anchor is found once.
    var blocks = document.querySelectorAll("div.lang");
    for (var j = 0; j < blocks.length; j++) {
        if (blocks[j].getAttribute("lang") !== language) {
            blocks[j].parentNode.removeChild(blocks[j]);
        }
    }
    document.documentElement.setAttribute("lang", language);
    document.title = language === "en" ? "ZarvoRecorder Help" : "Aide ZarvoRecorder";
    var version = query.get("v");
    if (version) {
        var spans = document.querySelectorAll("span.version");
        for (var k = 0; k < spans.length; k++) {
            spans[k].textContent = version;
        }
    }
    if (window.location.hash.length > 1) {
        var target = document.getElementById(decodeURIComponent(window.location.hash.slice(1)));
        if (target) {
            target.scrollIntoView();
        }
    }
})();
