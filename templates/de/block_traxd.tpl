{{!
  Sperrseite von orvex-traxd, Deutsch.

  Every value below comes from the blocked message or the scanner: print
  each one through an HTML escaping modifier (:h in text and attributes,
  :U=html for a link target), never bare.
}}<!DOCTYPE html>
<html lang="de">
<head>
<meta charset="utf-8">
<title>Zugriff gesperrt</title>
<style>
body { font-family: sans-serif; margin: 3em auto; max-width: 42em; color: #222; }
h1 { font-size: 1.5em; color: #a00; }
.address { word-break: break-all; font-family: monospace; }
footer { margin-top: 3em; font-size: 0.8em; color: #666; }
</style>
</head>
<body>
<h1>Zugriff gesperrt</h1>
{{#HAS_URL}}<p>Der Zugriff auf <span class="address">{{URL:h}}</span> wurde gesperrt.</p>{{/HAS_URL}}
{{#HAS_NO_URL}}<p>Die Daten wurden gesperrt.</p>{{/HAS_NO_URL}}
{{#THREAT_DOWNLOAD}}<p>Der Download enthält die Bedrohung <strong>{{THREAT:h}}</strong>.</p>{{/THREAT_DOWNLOAD}}
{{#THREAT_UPLOAD}}<p>Der Upload enthält die Bedrohung <strong>{{THREAT:h}}</strong>.</p>{{/THREAT_UPLOAD}}
{{#CHECK_ERROR}}<p>Die Daten konnten nicht geprüft werden; ungeprüfte Daten werden nicht durchgelassen.</p>{{/CHECK_ERROR}}
{{#INFECTION_SOURCE}}<p>Die Seite ist eine bekannte Infektionsquelle.</p>{{/INFECTION_SOURCE}}
{{#NOT_RECOMMENDED}}<p>Die Seite wird nicht empfohlen.</p>{{/NOT_RECOMMENDED}}
{{#BLACK_LIST}}<p>Die Seite steht auf der schwarzen Liste.</p>{{/BLACK_LIST}}
{{#OWNERS_NOTICE}}<p>Die Seite ist auf Hinweis eines Rechteinhabers gesperrt.</p>
{{#HAS_LEGAL_URL}}<p>Ein legales Angebot: <a class="address" href="{{LEGAL_URL:U=html}}">{{LEGAL_URL:h}}</a></p>{{/HAS_LEGAL_URL}}{{/OWNERS_NOTICE}}
{{#BLOCKED_URL}}<p>Seiten dieser Kategorie sind gesperrt:</p>
<p><strong>
{{#UC_ADULT_CONTENT}}Inhalte für Erwachsene{{/UC_ADULT_CONTENT}}
{{#UC_VIOLENCE}}Gewalt{{/UC_VIOLENCE}}
{{#UC_WEAPONS}}Waffen{{/UC_WEAPONS}}
{{#UC_GAMBLING}}Glücksspiel{{/UC_GAMBLING}}
{{#UC_DRUGS}}Drogen{{/UC_DRUGS}}
{{#UC_OBSCENE_LANGUAGE}}obszöne Sprache{{/UC_OBSCENE_LANGUAGE}}
{{#UC_CHATS}}Chats{{/UC_CHATS}}
{{#UC_TERRORISM}}Terrorismus{{/UC_TERRORISM}}
{{#UC_FREE_EMAIL}}kostenlose E-Mail-Dienste{{/UC_FREE_EMAIL}}
{{#UC_SOCIAL_NETWORKS}}soziale Netzwerke{{/UC_SOCIAL_NETWORKS}}
{{#UC_ONLINE_GAMES}}Online-Spiele{{/UC_ONLINE_GAMES}}
{{#UC_ANONYMIZERS}}Anonymisierer{{/UC_ANONYMIZERS}}
{{#UC_CRYPTOCURRENCY_MINING_POOLS}}Kryptowährungs-Mining-Pools{{/UC_CRYPTOCURRENCY_MINING_POOLS}}
{{#UC_JOBS}}Stellensuche{{/UC_JOBS}}
</strong></p>{{/BLOCKED_URL}}
<p>Wenn Sie dies für einen Irrtum halten, wenden Sie sich bitte an Ihre Netzwerkverwaltung.</p>
<footer>{{TIMESTAMP:h}}</footer>
</body>
</html>
